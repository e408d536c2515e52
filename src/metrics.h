#ifndef METRICS_H
#define METRICS_H

#include <gst/gst.h>

/* The levels' histogram has a bucket for each of its bounds, and one above
 * them all. */
#define PEAK_BUCKETS 21

/* The metrics of one card's lines, and the file they are written to. */
typedef struct
{
  const char *card;           /* as given: the metrics' label */
  const char *file;           /* rewritten with the metrics; NULL for none */
  guint64 peaks[PEAK_BUCKETS]; /* the lines printed, by bucket */
  gint64 runs[PEAK_BUCKETS - 1]; /* by bound: how long (ns of audio) every
                                    line has been at or below it, or,
                                    negative, above it */
  gint64 last_level_time;     /* when the last line was printed (real time,
                                 us), or since when the card is expected;
                                 0 before either */
} Metrics;

/* Counts a line just printed: the level peak, of the audio's last duration
 * nanoseconds, printed at now, the real time in microseconds. */
void count_level (Metrics *metrics, double peak, GstClockTime duration,
                  gint64 now);

/* The metrics of the lines printed, in Prometheus' text format, for the
 * node exporter's textfile collector: the histogram and the time at or
 * below each bound once a line has been counted, and always the last
 * line's time.  Free it with g_free. */
gchar *metrics_text (const Metrics *metrics);

/* Whether metrics->file can be replaced; the file itself is left alone.
 * On failure prints the same error as write_metrics. */
gboolean check_metrics_file (const Metrics *metrics);

/* Replaces metrics->file whole once metrics->last_level_time is set;
 * before, the file is left as it is.  On failure prints "Error: cannot
 * write the metrics file ", the file and the system's reason on stderr,
 * and returns FALSE. */
gboolean write_metrics (const Metrics *metrics);

#endif
