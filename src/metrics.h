#ifndef METRICS_H
#define METRICS_H

#include "level_reporter.h"

/* Counts a line just printed: the level peak, of the audio's last duration
 * nanoseconds, printed at now, the real time in microseconds. */
void count_level (RunState *run, double peak, GstClockTime duration,
                  gint64 now);

/* The metrics of the lines printed, in Prometheus' text format, for the
 * node exporter's textfile collector.  Free it with g_free. */
gchar *metrics_text (const RunState *run);

/* Whether run->metrics_file can be replaced, tried with a temporary file
 * beside it that is removed again; the file itself is left alone.  On
 * failure prints the same error as write_metrics. */
gboolean check_metrics_file (const RunState *run);

/* Replaces run->metrics_file whole, through a temporary file in the same
 * folder renamed over it, once a line has been printed; before, the file
 * is left as it is.  On failure prints "Error: cannot write the metrics
 * file ", the file and the system's reason on stderr, and returns FALSE. */
gboolean write_metrics (const RunState *run);

/* The metrics file's timer, with a RunState as user data: rewrites the
 * file, or ends the run when it cannot, and writes it no more.  Returns
 * FALSE, so the timer goes, once the run has ended. */
gboolean metrics_tick (gpointer run);

#endif
