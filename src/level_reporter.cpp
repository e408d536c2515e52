#include "level_reporter.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static void
report_write_error (int error_number)
{
  g_printerr ("Error: cannot write to standard output: %s\n",
              g_strerror (error_number));
}

gboolean
stdout_is_open (void)
{
  int flags = fcntl (STDOUT_FILENO, F_GETFL);

  if (flags != -1 && (flags & O_ACCMODE) != O_RDONLY)
    return TRUE;
  report_write_error (EBADF);
  return FALSE;
}

/* Writes text whole to fd; returns 0, or the system's error number. */
static int
write_whole (int fd, const char *text)
{
  size_t length = strlen (text);

  while (length > 0)
    {
      ssize_t written = write (fd, text, length);

      if (written < 0 && errno == EINTR)
        continue;
      if (written < 0)
        return errno;
      text += written;
      length -= written;
    }
  return 0;
}

gboolean
write_stdout (const char *text)
{
  /* One write for a line, so a reader never sees part of it. */
  int error = write_whole (STDOUT_FILENO, text);

  if (error != 0)
    report_write_error (error);
  return error == 0;
}

void
end_run (RunState *run)
{
  run->status = 1;
  g_main_loop_quit (run->loop);
}

/* The first channel's peak, or FALSE when the measurement holds none. */
static gboolean
get_first_peak (const GstStructure *level, double *peak)
{
  const GValue *field;
  GValueArray *channels;
  const GValue *first = NULL;

  field = gst_structure_get_value (level, "peak");
  /* The level element still hands its per-channel values over as a
   * GValueArray. */
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  if (field == NULL || !G_VALUE_HOLDS (field, g_value_array_get_type ()))
    return FALSE;
  channels = (GValueArray *) g_value_get_boxed (field);
  if (channels != NULL && channels->n_values > 0)
    first = g_value_array_get_nth (channels, 0);
  G_GNUC_END_IGNORE_DEPRECATIONS

  if (first == NULL || !G_VALUE_HOLDS_DOUBLE (first))
    return FALSE;
  *peak = g_value_get_double (first);
  return TRUE;
}

/* A card whose reads keep failing can make the source race through stale
 * audio from its buffer, minutes of it a second, with the pipeline's clock
 * racing along; only the system's clock tells. */
gboolean
can_have_been_captured (GstClockTime end, gint64 now, RunState *run)
{
  gint64 origin = now - (gint64) GST_TIME_AS_USECONDS (end);

  run->least_origin = MIN (run->least_origin, origin);
  /* A second for what the card may have buffered. */
  return origin >= run->audio_origin - G_USEC_PER_SEC;
}

/* Every 5 dB over a meter's range, so that a threshold in whole 5 dB, the
 * common silence thresholds -60 and -40 among them, is exact; -1 for a
 * peak that nearly clips; and -0.0005 for one that reached full scale, as
 * it lies between a 16-bit card's loudest sample (-0.000265) and the step
 * below (-0.000530).  Digital silence, -350, counts in the lowest. */
static const double peak_bounds[PEAK_BUCKETS - 1] = {
  -90, -85, -80, -75, -70, -65, -60, -55, -50, -45,
  -40, -35, -30, -25, -20, -15, -10, -5, -1, -0.0005,
};

/* In the first bucket whose bound it does not exceed. */
static void
count_peak (double peak, RunState *run)
{
  int bucket = 0;

  while (bucket < PEAK_BUCKETS - 1 && peak > peak_bounds[bucket])
    bucket++;
  run->peaks[bucket]++;
}

static void
print_level (const GstStructure *level, RunState *run)
{
  double peak;
  GstClockTime end;
  gchar *line;

  if (!get_first_peak (level, &peak)
      || !gst_structure_get_clock_time (level, "endtime", &end)
      || !can_have_been_captured (end, g_get_monotonic_time (), run))
    return;
  line = g_strdup_printf ("%f\n", peak);
  if (write_stdout (line))
    {
      run->heard = end;
      count_peak (peak, run);
    }
  else
    end_run (run);
  g_free (line);
}

/* A card that cannot be captured from only ever tells through the bus;
 * report it and end the run rather than wait in silence. */
static void
report_error (GstMessage *message, RunState *run)
{
  GError *error = NULL;

  gst_message_parse_error (message, &error, NULL);
  g_printerr ("Error: %s\n", error->message);
  g_error_free (error);
  end_run (run);
}

gboolean
message_handler (GstBus *, GstMessage *message, gpointer data)
{
  RunState *run = (RunState *) data;
  const GstStructure *structure;

  if (run->status != 0)
    return TRUE;
  switch (GST_MESSAGE_TYPE (message))
    {
    case GST_MESSAGE_ELEMENT:
      structure = gst_message_get_structure (message);
      if (strcmp (gst_structure_get_name (structure), "level") == 0)
        print_level (structure, run);
      break;
    case GST_MESSAGE_ERROR:
      report_error (message, run);
      break;
    default:
      break;
    }
  return TRUE;
}

void
follow_card_clock (RunState *run)
{
  if (run->least_origin < run->audio_origin)
    run->audio_origin = MAX (run->least_origin,
                             run->audio_origin - G_USEC_PER_SEC / 100);
  run->least_origin = G_MAXINT64;
}

/* Counts its own ticks rather than reading the clock, so that a process
 * stopped and continued later is not taken for a card gone quiet. */
gboolean
watchdog_tick (gpointer data)
{
  RunState *run = (RunState *) data;
  GstClockTime heard = run->heard - run->heard_at_tick;

  if (run->status != 0)
    return G_SOURCE_REMOVE;
  /* A card delivers about a second of audio a second; a jump of the
   * stream's clock is no proof of audio. */
  if (heard > 0 && heard <= 3 * GST_SECOND)
    run->quiet_seconds = 0;
  else if (++run->quiet_seconds == 10)
    {
      g_printerr ("Error: no audio from the card for 10 seconds\n");
      end_run (run);
    }
  run->heard_at_tick = run->heard;
  follow_card_clock (run);
  return G_SOURCE_CONTINUE;
}

/* No _sum: peaks in dB are negative, and a sum that only goes down is no
 * counter; the mean of decibels, digital silence at -350 among them, would
 * say nothing anyway.  The HELP text is the same for every card, or the
 * node exporter drops all but one card's series. */
gchar *
metrics_text (const RunState *run)
{
  GString *text = g_string_new (
      "# HELP level_monitor_peak_dbfs Peak level of an ALSA card's first "
      "channel over each half second, in dB relative to full scale.\n"
      "# TYPE level_monitor_peak_dbfs histogram\n");
  char bound[G_ASCII_DTOSTR_BUF_SIZE];
  guint64 at_or_below = 0;

  for (int bucket = 0; bucket < PEAK_BUCKETS; bucket++)
    {
      if (bucket < PEAK_BUCKETS - 1)
        g_ascii_formatd (bound, sizeof bound, "%g", peak_bounds[bucket]);
      else
        g_strlcpy (bound, "+Inf", sizeof bound);
      at_or_below += run->peaks[bucket];
      g_string_append_printf (text,
                              "level_monitor_peak_dbfs_bucket{card=\"%s\","
                              "le=\"%s\"} %" G_GUINT64_FORMAT "\n",
                              run->card, bound, at_or_below);
    }
  g_string_append_printf (text,
                          "level_monitor_peak_dbfs_count{card=\"%s\"} "
                          "%" G_GUINT64_FORMAT "\n",
                          run->card, at_or_below);
  return g_string_free (text, FALSE);
}

/* Returns 0, or the system's error number. */
static int
replace_file (const char *path, const char *text)
{
  gchar *temporary = g_strconcat (path, ".XXXXXX", NULL);
  int fd = g_mkstemp_full (temporary, O_WRONLY | O_CLOEXEC, 0644);
  int error = fd < 0 ? errno : 0;

  /* Read by the collector as another user, whatever the umask. */
  if (error == 0 && fchmod (fd, 0644) != 0)
    error = errno;
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

gboolean
write_metrics (const RunState *run)
{
  gchar *text = metrics_text (run);
  int error = replace_file (run->metrics_file, text);

  if (error != 0)
    g_printerr ("Error: cannot write the metrics file %s: %s\n",
                run->metrics_file, g_strerror (error));
  g_free (text);
  return error == 0;
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
