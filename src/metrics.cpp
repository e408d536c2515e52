#include "metrics.h"
#include "output.h"

#include <cmath>
#include <glib/gstdio.h>
#include <cstring>

/* Every 5 dB over a meter's range, so that a threshold in whole 5 dB, the
 * common silence thresholds -60 and -40 among them, is exact; -1 for a
 * peak that nearly clips; and -0.0005 for one that reached full scale, as
 * it lies between a 16-bit card's loudest sample (-0.000265) and the step
 * below (-0.000530).  Digital silence, -350, counts in the lowest. */
static const double peak_bounds[PEAK_BUCKETS - 1] = {
  -90, -85, -80, -75, -70, -65, -60, -55, -50, -45,
  -40, -35, -30, -25, -20, -15, -10, -5, -1, -0.0005,
};

/* As the file labels them: a threshold that the label rounds to a bound
 * is that bound, or the file would hold its series twice. */
static gboolean
is_bound (double threshold)
{
  char bound[G_ASCII_DTOSTR_BUF_SIZE];
  char label[G_ASCII_DTOSTR_BUF_SIZE];

  format_threshold (label, threshold);
  for (int at = 0; at < PEAK_BUCKETS - 1; at++)
    if (strcmp (format_threshold (bound, peak_bounds[at]), label) == 0)
      return TRUE;
  return FALSE;
}

void
add_threshold (Metrics *metrics, double threshold)
{
  metrics->has_threshold = !is_bound (threshold);
  metrics->threshold = threshold;
}

const char *
format_threshold (char *buffer, double threshold)
{
  return g_ascii_formatd (buffer, G_ASCII_DTOSTR_BUF_SIZE, "%g", threshold);
}

/* A card expected and not measured yet has no levels to count: its file
 * tells only since when it is expected. */
static gboolean
has_levels (const Metrics *metrics)
{
  return metrics->channels > 0;
}

/* A monitor started again within a minute goes on counting the silence,
 * or the sound, it was in: a crash loop in dead air is still dead air. */
static void
begin_run (Metrics *metrics, gint64 now)
{
  metrics->starts++;
  /* A clock set back since is no minute either. */
  if (now > metrics->resume_until
      || now < metrics->resume_until - RESUME_WITHIN_US)
    for (ChannelLevels &levels : metrics->levels)
      {
        memset (levels.runs, 0, sizeof levels.runs);
        levels.threshold_run = 0;
      }
}

/* Goes on with run: the levels' time at or below a bound, or above it. */
static void
count_run (gint64 *run, gboolean at_or_below, GstClockTime duration)
{
  if (at_or_below)
    *run = MAX (*run, 0) + (gint64) duration;
  else
    *run = MIN (*run, 0) - (gint64) duration;
}

/* The peak counts in the first bucket whose bound it does not exceed.  A
 * count cannot tell a silence shorter than a scrape, so each bound also
 * keeps how long the levels have stayed on one side of it. */
static void
count_channel (ChannelLevels *levels, const Metrics *metrics, double peak,
               GstClockTime duration)
{
  int bucket = 0;

  while (bucket < PEAK_BUCKETS - 1 && peak > peak_bounds[bucket])
    bucket++;
  levels->peaks[bucket]++;
  for (int bound = 0; bound < PEAK_BUCKETS - 1; bound++)
    count_run (&levels->runs[bound], peak <= peak_bounds[bound], duration);
  if (metrics->has_threshold)
    count_run (&levels->threshold_run, peak <= metrics->threshold, duration);
}

/* A card's channels stay as they are for a run, so every channel's series
 * counts every line. */
gboolean
count_level (Metrics *metrics, const double *peaks, guint channels,
             GstClockTime duration, gint64 now)
{
  gboolean first = !has_levels (metrics);

  if (first)
    {
      begin_run (metrics, now);
      metrics->channels = MIN (channels, MOST_CHANNELS);
    }
  for (guint channel = 0; channel < MIN (channels, metrics->channels);
       channel++)
    count_channel (&metrics->levels[channel], metrics, peaks[channel],
                   duration);
  metrics->last_level_time = now;
  return first;
}

/* One family's HELP and TYPE lines.  They are the same for every card, or
 * the node exporter drops all but one card's series. */
static void
append_family (GString *text, const char *name, const char *type,
               const char *help)
{
  g_string_append_printf (text, "# HELP %s %s\n# TYPE %s %s\n", name, help,
                          name, type);
}

static const char *
format_bound (char *bound, int bucket)
{
  if (bucket == PEAK_BUCKETS - 1)
    return "+Inf";
  return g_ascii_formatd (bound, G_ASCII_DTOSTR_BUF_SIZE, "%g",
                          peak_bounds[bucket]);
}

/* No _sum: peaks in dB are negative, and a sum that only goes down is no
 * counter; the mean of decibels, digital silence at -350 among them, would
 * say nothing anyway. */
static void
append_channel_histogram (GString *text, const Metrics *metrics,
                          guint channel)
{
  char bound[G_ASCII_DTOSTR_BUF_SIZE];
  guint64 at_or_below = 0;

  for (int bucket = 0; bucket < PEAK_BUCKETS; bucket++)
    {
      at_or_below += metrics->levels[channel].peaks[bucket];
      g_string_append_printf (text,
                              "level_monitor_peak_dbfs_bucket{card=\"%s\","
                              "channel=\"%u\",le=\"%s\"} "
                              "%" G_GUINT64_FORMAT "\n",
                              metrics->card, channel + 1,
                              format_bound (bound, bucket), at_or_below);
    }
  g_string_append_printf (text,
                          "level_monitor_peak_dbfs_count{card=\"%s\","
                          "channel=\"%u\"} %" G_GUINT64_FORMAT "\n",
                          metrics->card, channel + 1, at_or_below);
}

static void
append_histogram (GString *text, const Metrics *metrics)
{
  append_family (text, "level_monitor_peak_dbfs", "histogram",
                 "Peak level of a channel of an ALSA card over each half "
                 "second, in dB relative to full scale.");
  for (guint channel = 0; channel < metrics->channels; channel++)
    append_channel_histogram (text, metrics, channel);
}

static void
append_run (GString *text, const Metrics *metrics, guint channel,
            const char *bound, gint64 run)
{
  char seconds[G_ASCII_DTOSTR_BUF_SIZE];

  g_string_append_printf (
      text,
      "level_monitor_at_or_below_seconds{card=\"%s\",channel=\"%u\","
      "le=\"%s\"} %s\n",
      metrics->card, channel + 1, bound,
      g_ascii_formatd (seconds, sizeof seconds, "%.3f",
                       (double) run / GST_SECOND));
}

static void
append_channel_runs (GString *text, const Metrics *metrics, guint channel)
{
  const ChannelLevels *levels = &metrics->levels[channel];
  char bound[G_ASCII_DTOSTR_BUF_SIZE];

  for (int bucket = 0; bucket < PEAK_BUCKETS - 1; bucket++)
    append_run (text, metrics, channel, format_bound (bound, bucket),
                levels->runs[bucket]);
  if (metrics->has_threshold)
    append_run (text, metrics, channel,
                format_threshold (bound, metrics->threshold),
                levels->threshold_run);
}

static void
append_runs (GString *text, const Metrics *metrics)
{
  append_family (text, "level_monitor_at_or_below_seconds", "gauge",
                 "How long every peak level of a channel of an ALSA card "
                 "has been at or below the bound, in seconds of audio; "
                 "negative, how long every one has been above it.");
  for (guint channel = 0; channel < metrics->channels; channel++)
    append_channel_runs (text, metrics, channel);
}

static void
append_starts (GString *text, const Metrics *metrics)
{
  append_family (text, "level_monitor_starts_total", "counter",
                 "How many times a monitor began to print the levels of an "
                 "ALSA card, counted on from the file that the one before "
                 "it left.");
  g_string_append_printf (text,
                          "level_monitor_starts_total{card=\"%s\"} "
                          "%" G_GUINT64_FORMAT "\n",
                          metrics->card, metrics->starts);
}

static void
append_last_level_time (GString *text, const Metrics *metrics)
{
  char seconds[G_ASCII_DTOSTR_BUF_SIZE];

  append_family (text, "level_monitor_last_level_timestamp_seconds", "gauge",
                 "When the last peak level of an ALSA card's first channel "
                 "was printed, or, before the first, when its service began "
                 "to expect it, in seconds since the epoch.");
  g_string_append_printf (
      text, "level_monitor_last_level_timestamp_seconds{card=\"%s\"} %s\n",
      metrics->card,
      g_ascii_formatd (seconds, sizeof seconds, "%.3f",
                       (double) metrics->last_level_time / G_USEC_PER_SEC));
}

gchar *
metrics_text (const Metrics *metrics)
{
  GString *text = g_string_new (NULL);

  if (has_levels (metrics))
    {
      append_histogram (text, metrics);
      append_runs (text, metrics);
      append_starts (text, metrics);
    }
  append_last_level_time (text, metrics);
  return g_string_free (text, FALSE);
}

/* The value of a sample that the monitor wrote, the series named by name
 * and labels, or FALSE when text has none, or not a finite number. */
static gboolean
find_sample (const char *text, const char *series, double *value)
{
  gchar *line = g_strconcat ("\n", series, " ", NULL);
  const char *found = strstr (text, line);
  char *end = NULL;
  gboolean valid = FALSE;

  if (found != NULL)
    {
      const char *number = found + strlen (line);

      *value = g_ascii_strtod (number, &end);
      valid = end != number && (*end == '\n' || *end == '\0')
              && std::isfinite (*value);
    }
  g_free (line);
  return valid;
}

gboolean
find_card_sample (const char *text, const char *name, const char *card,
                  double *value)
{
  return find_channel_sample (text, name, card, 0, NULL, value);
}

gboolean
find_channel_sample (const char *text, const char *name, const char *card,
                     guint channel, const char *bound, double *value)
{
  gchar *labels
      = channel == 0
            ? g_strdup_printf ("card=\"%s\"", card)
            : g_strdup_printf ("card=\"%s\",channel=\"%u\"", card, channel);
  gchar *series = bound == NULL
                      ? g_strdup_printf ("%s{%s}", name, labels)
                      : g_strdup_printf ("%s{%s,le=\"%s\"}", name, labels,
                                         bound);
  gboolean found = find_sample (text, series, value);

  g_free (series);
  g_free (labels);
  return found;
}

/* Values beyond these are in no file that a monitor wrote, and would
 * overflow the times in nanoseconds or microseconds. */
#define MOST_SECONDS 1e9
#define MOST_EPOCH_SECONDS 1e11

/* Takes run from the file's duration of channel, from 1, at bound, when
 * it has one.  A monitor before 1.11.0 counted the first channel only,
 * without its label: an upgrade in a silence goes on counting it. */
static void
resume_run (const Metrics *metrics, const char *text, guint channel,
            const char *bound, gint64 *run)
{
  const char *name = "level_monitor_at_or_below_seconds";
  double value;

  if ((find_channel_sample (text, name, metrics->card, channel, bound, &value)
       || (channel == 1
           && find_channel_sample (text, name, metrics->card, 0, bound,
                                   &value)))
      && std::fabs (value) <= MOST_SECONDS)
    *run = std::llround (value * GST_SECOND);
}

static void
resume_channel (Metrics *metrics, const char *text, guint channel)
{
  ChannelLevels *levels = &metrics->levels[channel];
  char bound[G_ASCII_DTOSTR_BUF_SIZE];

  for (int bucket = 0; bucket < PEAK_BUCKETS - 1; bucket++)
    resume_run (metrics, text, channel + 1, format_bound (bound, bucket),
                &levels->runs[bucket]);
  if (metrics->has_threshold)
    resume_run (metrics, text, channel + 1,
                format_threshold (bound, metrics->threshold),
                &levels->threshold_run);
}

void
resume_metrics (Metrics *metrics, const char *text)
{
  double value;

  if (find_card_sample (text, "level_monitor_starts_total", metrics->card,
                        &value)
      && value >= 0 && value <= MOST_SECONDS)
    metrics->starts = (guint64) value;
  if (!find_card_sample (text, "level_monitor_last_level_timestamp_seconds",
                         metrics->card, &value)
      || value < 0 || value > MOST_EPOCH_SECONDS)
    return;
  metrics->resume_until = (gint64) (value * G_USEC_PER_SEC) + RESUME_WITHIN_US;
  for (guint channel = 0; channel < MOST_CHANNELS; channel++)
    resume_channel (metrics, text, channel);
}

/* A monitor's file is a few kilobytes a channel: a larger one is no
 * monitor's, and reading it whole would cost a small board its memory. */
#define MOST_FILE_BYTES (MOST_CHANNELS * 65536)

gchar *
read_metrics_file (const char *file)
{
  GStatBuf status;
  gchar *text = NULL;

  if (g_stat (file, &status) == 0 && S_ISREG (status.st_mode)
      && status.st_size <= MOST_FILE_BYTES)
    g_file_get_contents (file, &text, NULL, NULL);
  return text;
}

void
resume_metrics_file (Metrics *metrics)
{
  gchar *text = read_metrics_file (metrics->file);

  if (text != NULL)
    resume_metrics (metrics, text);
  g_free (text);
}

static gboolean
report_file_error (const Metrics *metrics, int error)
{
  if (error != 0)
    g_printerr ("Error: cannot write the metrics file %s: %s\n",
                metrics->file, file_error_text (error));
  return error == 0;
}

gboolean
check_metrics_file (const Metrics *metrics)
{
  return report_file_error (metrics, check_replaceable (metrics->file));
}

/* Until this run's first line, what the file holds, the last run's or the
 * service's, still tells when the card was last measured. */
gboolean
write_metrics (const Metrics *metrics)
{
  gchar *text;
  int error;

  if (metrics->last_level_time == 0)
    return TRUE;
  text = metrics_text (metrics);
  error = replace_file (metrics->file, text);
  g_free (text);
  return report_file_error (metrics, error);
}
