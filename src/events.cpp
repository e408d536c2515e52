#include "events.h"
#include "metrics.h"

#include <cmath>
#include <cstring>

const char *
event_name (EventKind kind)
{
  static const char *const names[EVENT_KINDS] = {
    "silence",  "sound",   "side-lost", "side-back",
    "clipping", "stopped", "measured",  "restarting",
  };

  return names[kind];
}

/* Values beyond these are in no file that a monitor wrote. */
#define MOST_EPOCH_SECONDS 1e11
#define MOST_SECONDS 1e9
#define MOST_COUNT 1e15

/* Reads the clips and the silence of channel, counted from 0.  FALSE
 * when the file counts no levels of it. */
static gboolean
read_channel (const Watch *watch, const char *text, guint channel,
              Reading *reading)
{
  char bound[G_ASCII_DTOSTR_BUF_SIZE];
  double count, at_full_scale, silence;

  /* The histogram's last bound is full scale's. */
  if (!find_channel_sample (text, "level_monitor_peak_dbfs_count",
                            watch->card, channel + 1, NULL, &count)
      || !find_channel_sample (text, "level_monitor_peak_dbfs_bucket",
                               watch->card, channel + 1, "-0.0005",
                               &at_full_scale)
      || at_full_scale < 0 || count < at_full_scale || count > MOST_COUNT)
    return FALSE;
  reading->clips[channel] = (guint64) (count - at_full_scale);
  if (!find_channel_sample (text, "level_monitor_at_or_below_seconds",
                            watch->card, channel + 1,
                            format_threshold (bound, watch->threshold),
                            &silence)
      || std::fabs (silence) > MOST_SECONDS)
    silence = NAN;
  reading->silences[channel] = silence;
  return TRUE;
}

Reading
read_reading (const Watch *watch, const char *text)
{
  Reading reading = {};
  double value;

  reading.silence = NAN;
  for (guint channel = 0; channel < MOST_CHANNELS; channel++)
    reading.silences[channel] = NAN;
  if (text == NULL)
    return reading;
  reading.read = TRUE;
  if (find_card_sample (text, "level_monitor_last_level_timestamp_seconds",
                        watch->card, &value)
      && value > 0 && value < MOST_EPOCH_SECONDS)
    reading.last_level_time = std::llround (value * G_USEC_PER_SEC);
  while (reading.channels < MOST_CHANNELS
         && read_channel (watch, text, reading.channels, &reading))
    reading.channels++;
  reading.has_levels = reading.channels > 0;
  if (!reading.has_levels)
    return reading;
  if (find_card_sample (text, "level_monitor_starts_total", watch->card,
                        &value)
      && value >= 0 && value <= MOST_COUNT)
    reading.starts = (guint64) value;
  /* Dead air is known only when every channel's silence is. */
  reading.silence = reading.silences[0];
  for (guint channel = 1; channel < reading.channels; channel++)
    if (std::isnan (reading.silences[channel])
        || reading.silences[channel] < reading.silence)
      reading.silence = reading.silences[channel];
  return reading;
}

static void
tell (GArray *events, EventKind kind, gint64 now, double duration,
      gboolean reminder, guint channel)
{
  Event event = { kind, now, duration, reminder, channel };

  g_array_append_val (events, event);
}

static double
seconds (gint64 microseconds)
{
  return (double) microseconds / G_USEC_PER_SEC;
}

/* Whether no level has come for a minute, by the file's last, which may
 * be a rewrite behind the last level printed: never for a shorter pause. */
static gboolean
is_stopped (const Watch *watch, gint64 now)
{
  return now - watch->last_level_time > STOPPED_AFTER_US + FILE_LAG_US;
}

/* A card is measured while its file tells of levels, the last less than a
 * minute old; a file that cannot be read tells of no level.  The file's
 * time is taken as it is, so that a clock set back is no long wait. */
static void
watch_measuring (Watch *watch, const Reading *reading, gint64 now,
                 GArray *events)
{
  gint64 last = reading->last_level_time;

  if (last == 0 || last == watch->file_level_time)
    ;
  else if (watch->stopped && reading->has_levels
           && now - last <= STOPPED_AFTER_US)
    {
      tell (events, EVENT_MEASURED, now,
            seconds (last - watch->last_level_time), FALSE, 0);
      watch->stopped = FALSE;
      watch->last_level_time = last;
    }
  else if (!watch->stopped)
    watch->last_level_time = last;
  if (!watch->stopped && is_stopped (watch, now))
    {
      tell (events, EVENT_STOPPED, now,
            seconds (now - watch->last_level_time), FALSE, 0);
      watch->stopped = TRUE;
      watch->reminded = now;
    }
}

/* A silence begins once it has lasted D, and ends once sound has lasted
 * R: a click shorter than R in it ends nothing.  A silence told is timed
 * from its first level at or below T to the first above it. */
static void
watch_silence (Watch *watch, const Reading *reading, gint64 now,
               GArray *events)
{
  gint64 run;

  if (!reading->has_levels || std::isnan (reading->silence))
    return;
  run = std::llround (reading->silence * G_USEC_PER_SEC);
  if (!watch->silent && reading->silence >= watch->silence_seconds)
    {
      watch->silent = TRUE;
      watch->silent_since = reading->last_level_time - run;
      watch->reminded = now;
      tell (events, EVENT_SILENCE, now, reading->silence, FALSE, 0);
    }
  else if (watch->silent && reading->silence <= -watch->sound_seconds)
    {
      watch->silent = FALSE;
      tell (events, EVENT_SOUND, now,
            seconds (reading->last_level_time + run - watch->silent_since),
            FALSE, 0);
    }
}

/* Whether a state holds that a reminder tells again. */
static gboolean
holds (const Watch *watch)
{
  gboolean lost = FALSE;

  for (guint channel = 0; channel < MOST_CHANNELS; channel++)
    lost = lost || watch->lost_since[channel] != 0;
  return watch->stopped || watch->silent || lost;
}

/* A side is lost once its channel has been at or below T for D while the
 * card is not silent, and back once above it for R, timed as a silence.
 * Dead air tells of every side: the sides lost before it are left untold,
 * and one still silent after it is told lost then.  A mono card has no
 * side to lose: its channel's silence is the card's, told first. */
static void
watch_sides (Watch *watch, const Reading *reading, gint64 now, GArray *events)
{
  if (!reading->has_levels || std::isnan (reading->silence))
    return;
  for (guint channel = 0; channel < MOST_CHANNELS; channel++)
    {
      double silence = reading->silences[channel];
      gint64 *since = &watch->lost_since[channel];
      gint64 run;

      if (watch->silent || channel >= reading->channels)
        {
          *since = 0;
          continue;
        }
      run = std::llround (silence * G_USEC_PER_SEC);
      if (*since == 0 && silence >= watch->silence_seconds)
        {
          /* One reminder tells of every side lost: another side's own
           * must not wait for this one's. */
          if (!holds (watch))
            watch->reminded = now;
          *since = reading->last_level_time - run;
          tell (events, EVENT_SIDE_LOST, now, silence, FALSE, channel + 1);
        }
      else if (*since != 0 && silence <= -watch->sound_seconds)
        {
          tell (events, EVENT_SIDE_BACK, now,
                seconds (reading->last_level_time + run - *since), FALSE,
                channel + 1);
          *since = 0;
        }
    }
}

/* A monitor started again counts its clips from 0. */
static void
watch_clipping (Watch *watch, const Reading *reading, gint64 now,
                GArray *events)
{
  if (!reading->has_levels)
    return;
  for (guint channel = 0; channel < MOST_CHANNELS; channel++)
    {
      guint64 count = reading->clips[channel];
      gboolean again = reading->starts != watch->starts
                       || count < watch->clips[channel];
      guint64 clips = again ? count : count - watch->clips[channel];

      watch->clips[channel] = count;
      if (clips == 0)
        continue;
      if (watch->last_clip[channel] == 0
          || now - watch->last_clip[channel] >= CLIPPING_FOR_US)
        tell (events, EVENT_CLIPPING, now, 0, FALSE, channel + 1);
      watch->last_clip[channel] = now;
    }
}

/* Starts counted on from the file that the last run left; a count that
 * goes back, after a reboot, or a card's first start, is no start
 * again. */
static void
watch_restarts (Watch *watch, const Reading *reading, gint64 now,
                GArray *events)
{
  gboolean restarting;

  if (!reading->has_levels)
    return;
  if (reading->starts < watch->starts)
    memset (watch->restarts, 0, sizeof watch->restarts);
  if (watch->starts > 0 && reading->starts > watch->starts)
    for (guint64 start = watch->starts;
         start < reading->starts && start < watch->starts + RESTARTS; start++)
      {
        memmove (watch->restarts + 1, watch->restarts,
                 sizeof watch->restarts - sizeof watch->restarts[0]);
        watch->restarts[0] = now;
      }
  watch->starts = reading->starts;
  restarting = watch->restarts[RESTARTS - 1] != 0
               && now - watch->restarts[RESTARTS - 1] <= RESTARTING_WITHIN_US;
  if (restarting && !watch->restarting)
    tell (events, EVENT_RESTARTING, now, 0, FALSE, 0);
  watch->restarting = restarting;
}

static void
remind (Watch *watch, gint64 now, GArray *events)
{
  if (watch->reminder_us == 0 || !holds (watch)
      || now - watch->reminded < watch->reminder_us)
    return;
  if (watch->stopped)
    tell (events, EVENT_STOPPED, now, seconds (now - watch->last_level_time),
          TRUE, 0);
  if (watch->silent)
    tell (events, EVENT_SILENCE, now, seconds (now - watch->silent_since),
          TRUE, 0);
  for (guint channel = 0; channel < MOST_CHANNELS; channel++)
    if (watch->lost_since[channel] != 0)
      tell (events, EVENT_SIDE_LOST, now,
            seconds (now - watch->lost_since[channel]), TRUE, channel + 1);
  watch->reminded = now;
}

void
watch_reading (Watch *watch, const Reading *reading, gint64 now,
               GArray *events)
{
  if (!watch->started)
    {
      watch->started = TRUE;
      /* A watch counts a minute without a level from its own start at the
       * earliest: the time before, while no watch ran, is no event, as
       * after a systemctl stop.  A card not measured when the watch
       * before ended: since then. */
      if (!watch->stopped)
        {
          watch->last_level_time = MAX (reading->last_level_time, now);
          watch->file_level_time = reading->last_level_time;
        }
      memcpy (watch->clips, reading->clips, sizeof watch->clips);
      watch->starts = reading->starts;
    }
  watch_measuring (watch, reading, now, events);
  watch_silence (watch, reading, now, events);
  watch_sides (watch, reading, now, events);
  watch_clipping (watch, reading, now, events);
  watch_restarts (watch, reading, now, events);
  remind (watch, now, events);
}

gint64
next_look (const Watch *watch)
{
  gint64 next = 0;

  if (!watch->stopped)
    next = watch->last_level_time + STOPPED_AFTER_US + FILE_LAG_US + 1;
  if (watch->reminder_us > 0 && holds (watch))
    next = next == 0 ? watch->reminded + watch->reminder_us
                     : MIN (next, watch->reminded + watch->reminder_us);
  return next;
}

#define TOLD "told"

/* The key of a side lost, channel counted from 0, in what is told: a
 * watch before 1.11.0 kept none. */
static gchar *
lost_key (guint channel)
{
  return g_strdup_printf ("channel_%u_lost_since", channel + 1);
}

gchar *
told_text (const Watch *watch)
{
  GKeyFile *told = g_key_file_new ();
  gchar *text;

  g_key_file_set_string (told, TOLD, "card", watch->card);
  g_key_file_set_boolean (told, TOLD, "silent", watch->silent);
  g_key_file_set_int64 (told, TOLD, "silent_since", watch->silent_since);
  g_key_file_set_boolean (told, TOLD, "stopped", watch->stopped);
  g_key_file_set_int64 (told, TOLD, "last_level_time", watch->last_level_time);
  g_key_file_set_int64 (told, TOLD, "reminded", watch->reminded);
  for (guint channel = 0; channel < MOST_CHANNELS; channel++)
    if (watch->lost_since[channel] != 0)
      {
        gchar *key = lost_key (channel);

        g_key_file_set_int64 (told, TOLD, key, watch->lost_since[channel]);
        g_free (key);
      }
  text = g_key_file_to_data (told, NULL, NULL);
  g_key_file_free (told);
  return text;
}

/* Whether told holds every key, for watch->card. */
static gboolean
is_told_of (GKeyFile *told, const Watch *watch)
{
  static const char *const keys[] = {
    "silent", "silent_since", "stopped", "last_level_time", "reminded",
  };
  gchar *card = g_key_file_get_string (told, TOLD, "card", NULL);
  gboolean whole = g_strcmp0 (card, watch->card) == 0;

  for (const char *key : keys)
    whole = whole && g_key_file_has_key (told, TOLD, key, NULL);
  g_free (card);
  return whole;
}

void
resume_told (Watch *watch, const char *text)
{
  GKeyFile *told = g_key_file_new ();

  if (g_key_file_load_from_data (told, text, -1, G_KEY_FILE_NONE, NULL)
      && is_told_of (told, watch))
    {
      watch->silent = g_key_file_get_boolean (told, TOLD, "silent", NULL);
      watch->silent_since
          = g_key_file_get_int64 (told, TOLD, "silent_since", NULL);
      watch->stopped = g_key_file_get_boolean (told, TOLD, "stopped", NULL);
      watch->last_level_time
          = g_key_file_get_int64 (told, TOLD, "last_level_time", NULL);
      watch->reminded = g_key_file_get_int64 (told, TOLD, "reminded", NULL);
      for (guint channel = 0; channel < MOST_CHANNELS; channel++)
        {
          gchar *key = lost_key (channel);

          if (g_key_file_has_key (told, TOLD, key, NULL))
            watch->lost_since[channel]
                = g_key_file_get_int64 (told, TOLD, key, NULL);
          g_free (key);
        }
    }
  g_key_file_free (told);
}
