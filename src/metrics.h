#ifndef METRICS_H
#define METRICS_H

#include <gst/gst.h>

/* The levels' histogram has a bucket for each of its bounds, and one above
 * them all. */
#define PEAK_BUCKETS 21

/* The channels counted, from the first: a card with more counts these. */
#define MOST_CHANNELS 32

/* The levels of one channel, at each line printed. */
typedef struct
{
  guint64 peaks[PEAK_BUCKETS]; /* by bucket */
  gint64 runs[PEAK_BUCKETS - 1]; /* by bound: how long (ns of audio) every
                                    level has been at or below it, or,
                                    negative, above it */
  gint64 threshold_run;       /* as runs, for the admin's threshold */
} ChannelLevels;

/* The metrics of one card's lines, and the file they are written to. */
typedef struct
{
  const char *card;           /* as given: the metrics' label */
  const char *file;           /* rewritten with the metrics; NULL for none */
  guint channels;             /* the channels counted; 0 before the first
                                 line */
  ChannelLevels levels[MOST_CHANNELS]; /* channel 1 first */
  gint64 last_level_time;     /* when the last line was printed (real time,
                                 us), or since when the card is expected;
                                 0 before either */
  guint64 starts;             /* the runs that have printed a line, this
                                 one among them once it has, counted on
                                 from the file's */
  gint64 resume_until;        /* the real time (us) until which runs goes
                                 on from the file's: a minute after the
                                 last line that it tells of */
  gboolean has_threshold;     /* whether a silence threshold of the
                                 admin's own, not a bound, is counted too */
  double threshold;           /* that threshold, in dBFS */
} Metrics;

/* How long after a run's last line the next one goes on counting from it,
 * in microseconds. */
#define RESUME_WITHIN_US (60 * G_USEC_PER_SEC)

/* Counts how long the levels stay at or below threshold too, when it is
 * not a bound already. */
void add_threshold (Metrics *metrics, double threshold);

/* A threshold as the metrics file labels it, in buffer, which holds
 * G_ASCII_DTOSTR_BUF_SIZE bytes. */
const char *format_threshold (char *buffer, double threshold);

/* Counts a line just printed: the levels peaks of its channels, the first
 * channels of them up to MOST_CHANNELS, of the audio's last duration
 * nanoseconds, printed at now, the real time in microseconds.  The run's
 * first line sets how many channels it counts.  Returns
 * TRUE for the run's first line, which counts a start, and goes on from
 * the durations that resume_metrics found only if now is within
 * RESUME_WITHIN_US after the last line that they tell of. */
gboolean count_level (Metrics *metrics, const double *peaks, guint channels,
                      GstClockTime duration, gint64 now);

/* Takes from text, a file that a run before wrote for the same card, the
 * starts, and the durations at or below each bound with the time of the
 * last line that they tell of, to go on from.  What is not there, or not
 * a sample of metrics->card, is left as it is. */
void resume_metrics (Metrics *metrics, const char *text);

/* The value of the sample of name for card, in text, a file that a
 * monitor wrote.  FALSE when it has none, or not a finite number. */
gboolean find_card_sample (const char *text, const char *name,
                           const char *card, double *value);

/* As find_card_sample, for the series of channel, counted from 1, or 0 for
 * the card's own, without the label, at bound when not NULL. */
gboolean find_channel_sample (const char *text, const char *name,
                              const char *card, guint channel,
                              const char *bound, double *value);

/* The text of file, a monitor's metrics file, or NULL when it cannot be
 * read or is larger than a monitor's file may be.  Free it with g_free. */
gchar *read_metrics_file (const char *file);

/* resume_metrics on metrics->file, when it can be read and is no larger
 * than a monitor's file may be. */
void resume_metrics_file (Metrics *metrics);

/* The metrics of the lines printed, in Prometheus' text format, for the
 * node exporter's textfile collector: the histogram, the time at or below
 * each bound and the starts once a line has been counted, and always the
 * last line's time.  Free it with g_free. */
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
