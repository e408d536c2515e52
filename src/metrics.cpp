#include "metrics.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

/* Every 5 dB over a meter's range, so that a threshold in whole 5 dB, the
 * common silence thresholds -60 and -40 among them, is exact; -1 for a
 * peak that nearly clips; and -0.0005 for one that reached full scale, as
 * it lies between a 16-bit card's loudest sample (-0.000265) and the step
 * below (-0.000530).  Digital silence, -350, counts in the lowest. */
static const double peak_bounds[PEAK_BUCKETS - 1] = {
  -90, -85, -80, -75, -70, -65, -60, -55, -50, -45,
  -40, -35, -30, -25, -20, -15, -10, -5, -1, -0.0005,
};

/* The peak counts in the first bucket whose bound it does not exceed.  A
 * count cannot tell a silence shorter than a scrape, so each bound also
 * keeps how long the levels have stayed on one side of it. */
void
count_level (RunState *run, double peak, GstClockTime duration, gint64 now)
{
  int bucket = 0;

  while (bucket < PEAK_BUCKETS - 1 && peak > peak_bounds[bucket])
    bucket++;
  run->peaks[bucket]++;
  for (int bound = 0; bound < PEAK_BUCKETS - 1; bound++)
    if (peak <= peak_bounds[bound])
      run->runs[bound] = MAX (run->runs[bound], 0) + (gint64) duration;
    else
      run->runs[bound] = MIN (run->runs[bound], 0) - (gint64) duration;
  run->last_level_time = now;
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
append_histogram (GString *text, const RunState *run)
{
  char bound[G_ASCII_DTOSTR_BUF_SIZE];
  guint64 at_or_below = 0;

  append_family (text, "level_monitor_peak_dbfs", "histogram",
                 "Peak level of an ALSA card's first channel over each "
                 "half second, in dB relative to full scale.");
  for (int bucket = 0; bucket < PEAK_BUCKETS; bucket++)
    {
      at_or_below += run->peaks[bucket];
      g_string_append_printf (text,
                              "level_monitor_peak_dbfs_bucket{card=\"%s\","
                              "le=\"%s\"} %" G_GUINT64_FORMAT "\n",
                              run->card, format_bound (bound, bucket),
                              at_or_below);
    }
  g_string_append_printf (text,
                          "level_monitor_peak_dbfs_count{card=\"%s\"} "
                          "%" G_GUINT64_FORMAT "\n",
                          run->card, at_or_below);
}

static void
append_runs (GString *text, const RunState *run)
{
  char bound[G_ASCII_DTOSTR_BUF_SIZE];
  char seconds[G_ASCII_DTOSTR_BUF_SIZE];

  append_family (text, "level_monitor_at_or_below_seconds", "gauge",
                 "How long every peak level of an ALSA card's first "
                 "channel has been at or below the bound, in seconds of "
                 "audio; negative, how long every one has been above it.");
  for (int bucket = 0; bucket < PEAK_BUCKETS - 1; bucket++)
    g_string_append_printf (
        text, "level_monitor_at_or_below_seconds{card=\"%s\",le=\"%s\"} %s\n",
        run->card, format_bound (bound, bucket),
        g_ascii_formatd (seconds, sizeof seconds, "%.3f",
                         (double) run->runs[bucket] / GST_SECOND));
}

static void
append_last_level_time (GString *text, const RunState *run)
{
  char seconds[G_ASCII_DTOSTR_BUF_SIZE];

  append_family (text, "level_monitor_last_level_timestamp_seconds", "gauge",
                 "When the last peak level of an ALSA card's first channel "
                 "was printed, or, before the first, when its service began "
                 "to expect it, in seconds since the epoch.");
  g_string_append_printf (
      text, "level_monitor_last_level_timestamp_seconds{card=\"%s\"} %s\n",
      run->card,
      g_ascii_formatd (seconds, sizeof seconds, "%.3f",
                       (double) run->last_level_time / G_USEC_PER_SEC));
}

gchar *
metrics_text (const RunState *run)
{
  GString *text = g_string_new (NULL);

  append_histogram (text, run);
  append_runs (text, run);
  append_last_level_time (text, run);
  return g_string_free (text, FALSE);
}

/* Creates a temporary file beside path, readable by the collector, which
 * reads it as another user, whatever the umask.  Returns its descriptor,
 * or -1 with errno set. */
static int
create_beside (const char *path, gchar **temporary)
{
  int fd;

  *temporary = g_strconcat (path, ".XXXXXX", NULL);
  fd = g_mkstemp_full (*temporary, O_WRONLY | O_CLOEXEC, 0644);
  if (fd >= 0 && fchmod (fd, 0644) != 0)
    {
      int error = errno;

      close (fd);
      unlink (*temporary);
      errno = error;
      return -1;
    }
  return fd;
}

/* Returns 0, or the system's error number. */
static int
replace_file (const char *path, const char *text)
{
  gchar *temporary;
  int fd = create_beside (path, &temporary);
  int error = fd < 0 ? errno : 0;

  if (error == 0)
    error = write_whole (fd, text);
  if (fd >= 0 && close (fd) != 0 && error == 0)
    error = errno;
  if (error == 0 && rename (temporary, path) != 0)
    error = errno;
  if (error != 0 && fd >= 0)
    unlink (temporary);
  g_free (temporary);
  return error;
}

static gboolean
report_file_error (const RunState *run, int error)
{
  if (error != 0)
    g_printerr ("Error: cannot write the metrics file %s: %s\n",
                run->metrics_file, g_strerror (error));
  return error == 0;
}

gboolean
check_metrics_file (const RunState *run)
{
  gchar *temporary;
  int fd = create_beside (run->metrics_file, &temporary);
  int error = fd < 0 ? errno : 0;

  if (fd >= 0)
    {
      close (fd);
      unlink (temporary);
    }
  g_free (temporary);
  return report_file_error (run, error);
}

/* Until this run's first line, what the file holds, the last run's or the
 * service's, still tells when the card was last measured. */
gboolean
write_metrics (const RunState *run)
{
  gchar *text;
  int error;

  if (run->last_level_time == 0)
    return TRUE;
  text = metrics_text (run);
  error = replace_file (run->metrics_file, text);
  g_free (text);
  return report_file_error (run, error);
}

gboolean
metrics_tick (gpointer data)
{
  RunState *run = (RunState *) data;

  if (run->status != 0)
    return G_SOURCE_REMOVE;
  if (!write_metrics (run))
    {
      run->metrics_file = NULL;
      end_run (run);
      return G_SOURCE_REMOVE;
    }
  return G_SOURCE_CONTINUE;
}
