#include "level_reporter.h"
#include "card.h"
#include "output.h"

#include <cerrno>
#include <cstring>

void
end_run (RunState *run)
{
  run->status = 1;
  g_main_loop_quit (run->loop);
}

/* Each channel's peak, up to MOST_CHANNELS of them, and how many there
 * are; FALSE when the measurement holds none, or one that is no number. */
static gboolean
get_peaks (const GstStructure *level, double *peaks, guint *count)
{
  const GValue *field;
  GValueArray *channels;
  const GValue *peak;

  field = gst_structure_get_value (level, "peak");
  /* The level element still hands its per-channel values over as a
   * GValueArray. */
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  if (field == NULL || !G_VALUE_HOLDS (field, g_value_array_get_type ()))
    return FALSE;
  channels = (GValueArray *) g_value_get_boxed (field);
  *count = channels != NULL ? MIN (channels->n_values, MOST_CHANNELS) : 0;
  for (guint channel = 0; channel < *count; channel++)
    {
      peak = g_value_array_get_nth (channels, channel);
      if (!G_VALUE_HOLDS_DOUBLE (peak))
        return FALSE;
      peaks[channel] = g_value_get_double (peak);
    }
  G_GNUC_END_IGNORE_DEPRECATIONS

  return *count > 0;
}

/* A card whose reads keep failing can make the source race through stale
 * audio from its buffer, minutes of it a second, with the pipeline's clock
 * racing along; only the system's clock tells. */
gboolean
can_have_been_captured (GstClockTime end, gint64 now, RunState *run)
{
  gint64 origin = now - (gint64) GST_TIME_AS_USECONDS (end);

  run->least_origin = MIN (run->least_origin, origin);
  /* A buffer's worth, which a card may hand over at once. */
  return origin >= run->audio_origin - CAPTURE_BUFFER_US;
}

/* Rewrites the metrics file, or ends the run when it cannot, and writes
 * it no more. */
static void
save_metrics (RunState *run)
{
  if (run->metrics.file == NULL || write_metrics (&run->metrics))
    return;
  run->metrics.file = NULL;
  end_run (run);
}

static void
print_level (const GstStructure *level, RunState *run)
{
  double peaks[MOST_CHANNELS];
  guint channels;
  GstClockTime end, duration;
  gchar *line;
  int error;

  if (!get_peaks (level, peaks, &channels)
      || !gst_structure_get_clock_time (level, "endtime", &end)
      || !gst_structure_get_clock_time (level, "duration", &duration)
      || !can_have_been_captured (end, g_get_monotonic_time (), run))
    return;
  line = g_strdup_printf ("%f\n", peaks[0]);
  error = write_stdout (line);
  if (error == 0)
    {
      run->heard = end;
      /* A monitor started again tells at once that the card is measured
       * again, not at the next rewrite, which a pause would count in. */
      if (count_level (&run->metrics, peaks, channels, duration,
                       g_get_real_time ()))
        save_metrics (run);
    }
  /* Not printed: GLib hands the signal to its handler in a moment, and a
   * line printed meanwhile would wait for the reader again. */
  else if (error == EINTR)
    run->signalled = TRUE;
  else
    end_run (run);
  g_free (line);
}

/* GStreamer's message, and, where the details say more, their last line,
 * which names the device and gives ALSA's reason.  Free it with g_free. */
static gchar *
open_error_text (const GError *error, const char *details)
{
  const char *reason = details != NULL ? strrchr (details, '\n') : NULL;

  if (reason == NULL)
    return g_strdup (error->message);
  return g_strdup_printf ("%s %s", error->message, reason + 1);
}

/* A card that cannot be opened.  While another program holds it, the card
 * is busy, whatever ALSA says: the kernel tells who holds it, and a shared
 * device opened while another program holds the card alone may fail with
 * another error.  Returns whether it is busy. */
static gboolean
report_open_error (const GError *error, const char *details,
                   const char *card)
{
  gboolean busy = g_error_matches (error, GST_RESOURCE_ERROR,
                                   GST_RESOURCE_ERROR_BUSY);
  gchar *holders = capture_holders ("/proc/asound", card);
  gchar *text = open_error_text (error, details);

  if (holders != NULL && busy)
    g_printerr ("Error: card %s is busy, held by %s\n", card, holders);
  else if (holders != NULL)
    g_printerr ("Error: card %s is busy, held by %s: %s\n", card, holders,
                text);
  else if (busy)
    g_printerr ("Error: card %s is busy\n", card);
  else
    g_printerr ("Error: %s\n", text);
  g_free (text);
  g_free (holders);
  return busy || holders != NULL;
}

static gboolean
is_open_error (const GError *error)
{
  return g_error_matches (error, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY)
         || g_error_matches (error, GST_RESOURCE_ERROR,
                             GST_RESOURCE_ERROR_OPEN_READ);
}

/* A card that cannot be captured from only ever tells through the bus;
 * report it and end the run rather than wait in silence.  A card that
 * another program holds is left to it: the run ends with a status of its
 * own, on which the service does not try again, as a monitor that tried
 * again would take the card the moment its holder let go of it, for a
 * restart say. */
static void
report_error (GstMessage *message, RunState *run)
{
  GError *error = NULL;
  gchar *details = NULL;
  gboolean busy = FALSE;

  gst_message_parse_error (message, &error, &details);
  if (is_open_error (error))
    busy = report_open_error (error, details, run->metrics.card);
  else
    g_printerr ("Error: %s\n", error->message);
  end_run (run);
  if (busy)
    run->status = BUSY_STATUS;
  g_error_free (error);
  g_free (details);
}

gboolean
message_handler (GstBus *, GstMessage *message, gpointer data)
{
  RunState *run = (RunState *) data;
  const GstStructure *structure;

  if (run->status != 0 || run->signalled)
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

gboolean
metrics_tick (gpointer data)
{
  RunState *run = (RunState *) data;

  if (run->status == 0)
    save_metrics (run);
  return run->status == 0 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}
