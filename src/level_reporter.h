#ifndef LEVEL_REPORTER_H
#define LEVEL_REPORTER_H

#include "metrics.h"

#include <gst/gst.h>

/* The card's period and buffer, in microseconds, as the capture asks for
 * them: a card may give the nearest it can instead. */
#define CAPTURE_PERIOD_US 250000
#define CAPTURE_BUFFER_US 1000000

/* The exit status of a run that found its card busy. */
#define BUSY_STATUS 3

/* What the bus watch and the main loop share for one run. */
typedef struct
{
  GMainLoop *loop;            /* quit when the run ends */
  gint64 audio_origin;        /* the earliest monotonic time (us) at which
                                 the card's audio can have begun */
  gint64 least_origin;        /* the earliest that the measurements since
                                 the watchdog's last tick put it at */
  GstClockTime heard;         /* the end of the audio of the last line */
  GstClockTime heard_at_tick; /* heard, at the watchdog's last tick */
  guint quiet_seconds;        /* the watchdog's ticks in a row without audio */
  int status;                 /* 0 while running; the exit status once ended */
  gboolean signalled;         /* a line gave way to a signal, whose handler
                                 ends the monitor next: print no more */
  Metrics metrics;            /* the lines counted, of the card captured */
} RunState;

/* Bus watch, with a RunState as user data.  Prints the first channel's
 * peak of every "level" measurement on stdout, counts every channel's in
 * the metrics once printed, and keeps in run->heard
 * the stream time at which the measured audio ends.  A measurement of
 * audio that the card cannot have delivered yet is neither printed nor
 * heard.
 * The pipeline's first error, or a line that cannot be written, is
 * reported on stderr with "Error: " and ends the run; after that every
 * message is ignored, as it is once a line gave way to a signal.  A busy card names the processes that hold it and
 * ends the run with BUSY_STATUS.  Always returns TRUE, so the watch stays
 * installed. */
gboolean message_handler (GstBus *bus, GstMessage *message, gpointer run);

/* The watchdog, ticking once a second with a RunState as user data: ten
 * ticks in a row without a second or so of audio heard end the run with
 * "Error: no audio from the card for 10 seconds".  Returns FALSE, so the
 * timer goes, once the run has ended. */
gboolean watchdog_tick (gpointer run);

/* Whether audio that ends at end, in the stream's time, can have been
 * captured by now, the monotonic time in microseconds: it may begin a
 * buffer's worth before run->audio_origin, for what the card buffered.
 * Keeps the earliest origin it sees for follow_card_clock. */
gboolean can_have_been_captured (GstClockTime end, gint64 now, RunState *run);

/* Called once a second: a card's clock may run a little faster than the
 * system's, so run->audio_origin follows the earliest origin seen back, by
 * at most 10 ms, 1% of the second passed; a long run on such a card loses
 * no line, and a burst of stale audio moves it hardly at all. */
void follow_card_clock (RunState *run);

/* Ends the run with exit status 1: the caller has reported why. */
void end_run (RunState *run);

/* The metrics file's timer, with a RunState as user data: rewrites the
 * file, or ends the run when it cannot, and writes it no more.  Returns
 * FALSE, so the timer goes, once the run has ended. */
gboolean metrics_tick (gpointer run);

#endif
