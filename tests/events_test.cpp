#include "event_command.h"
#include "events.h"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const gint64 START = 1765300000000000; // us

// One read of the file: at and last in seconds from START; last NAN for a
// file not there; silence and clips channel 1's, silence NAN for a file
// without levels; second and second_clips channel 2's, second NAN for a
// mono card; third channel 3's, NAN for none.
struct Step
{
  double at, last, silence;
  guint64 clips, starts;
  double second = NAN;
  guint64 second_clips = 0;
  double third = NAN;
};

// As read_reading makes it: the card's silence the least of the channels'.
Reading
reading_of (const Step &step)
{
  Reading reading = {};

  reading.read = !std::isnan (step.last);
  if (reading.read)
    reading.last_level_time = START + (gint64) (step.last * G_USEC_PER_SEC);
  reading.has_levels = !std::isnan (step.silence);
  reading.channels = !reading.has_levels        ? 0
                     : std::isnan (step.second) ? 1
                     : std::isnan (step.third)  ? 2
                                                : 3;
  reading.silences[0] = step.silence;
  reading.silences[1] = step.second;
  reading.silences[2] = step.third;
  reading.silence = step.silence;
  for (guint channel = 1; channel < reading.channels; channel++)
    reading.silence = std::fmin (reading.silence, reading.silences[channel]);
  reading.clips[0] = step.clips;
  reading.clips[1] = step.second_clips;
  reading.starts = step.starts;
  return reading;
}

// What was told, as "kind@at:duration", the channel, if any, after the kind
// in brackets, a reminder ending in "+".
std::string
told (const Event &event)
{
  char text[64], channel[16] = "";

  if (event.channel != 0)
    g_snprintf (channel, sizeof channel, "(%u)", event.channel);
  g_snprintf (text, sizeof text, "%s%s@%g:%.1f%s", event_name (event.kind),
              channel, (double) (event.time - START) / G_USEC_PER_SEC,
              event.duration, event.reminder ? "+" : "");
  return text;
}

} // namespace

// T, D and R as the alerts have them (-40, 20 s, 3 s): each change told
// once, at its bound and not before, and a state that holds only as a
// reminder, when one is asked for.
TEST (Events, TellEachChangeOnceAtItsBound)
{
  const double N = NAN;
  struct Case
  {
    std::string what;
    double reminder_minutes;
    std::vector<Step> steps;
    std::string told;
    size_t again_at = 0; // a watch started again from what was told,
                         // before this step; 0 for none
  } cases[] = {
    { "a silence at D, not before", 0,
      { { 0, 0, 19.5, 0, 1 }, { 5, 5, 20, 0, 1 }, { 10, 10, 25, 0, 1 } },
      "silence@5:20.0" },
    { "sound at R, not before, after the whole silence", 0,
      { { 0, 0, 25, 0, 1 }, { 5, 5, -2.5, 0, 1 }, { 10, 10, -3, 0, 1 } },
      "silence@0:25.0 sound@10:32.0" },
    { "a click shorter than R ends nothing", 0,
      { { 0, 0, 25, 0, 1 }, { 5, 5, -2.5, 0, 1 }, { 10, 10, 4, 0, 1 },
        { 15, 15, 9, 0, 1 } },
      "silence@0:25.0" },
    { "no level for a minute and a rewrite's 5.5 s, not 65.5 s", 0,
      { { 0, 0, -5, 0, 1 }, { 65.5, 0, -5, 0, 1 }, { 66, 0, -5, 0, 1 },
        { 70, 0, -5, 0, 1 }, { 75, 74, -5, 0, 1 } },
      "stopped@66:66.0 measured@75:74.0" },
    { "a file not there, from the watch's start", 0,
      { { 0, N, N, 0, 0 }, { 65.5, N, N, 0, 0 }, { 66, N, N, 0, 0 } },
      "stopped@66:66.0" },
    { "a card expected long ago, from the watch's start", 0,
      { { 0, -100, N, 0, 0 }, { 66, -100, N, 0, 0 }, { 70, 69, -1, 0, 1 } },
      "stopped@66:66.0 measured@70:69.0" },
    { "the clock set back an hour, no hour's wait", 0,
      { { 0, 0, -5, 0, 1 }, { -3595, -3595, -5, 0, 1 },
        { -3529.5, -3595, -5, 0, 1 }, { -3529, -3595, -5, 0, 1 } },
      "stopped@-3529:66.0" },
    { "a clip, then none for 2 minutes, not 1:59.5", 0,
      { { 0, 0, -5, 0, 1 }, { 5, 5, -5, 1, 1 }, { 10, 10, -5, 2, 1 },
        { 129.5, 129.5, -5, 3, 1 }, { 249.5, 249.5, -5, 4, 1 } },
      "clipping(1)@5:0.0 clipping(1)@249.5:0.0" },
    { "a restarted monitor's clips, from 0", 0,
      { { 0, 0, -5, 5, 1 }, { 5, 5, -5, 5, 2 } },
      "clipping(1)@5:0.0" },
    { "3 starts within 10 minutes, not 2", 0,
      { { 0, 0, -5, 0, 1 }, { 5, 5, -5, 0, 2 }, { 10, 10, -5, 0, 3 },
        { 15, 15, -5, 0, 4 }, { 20, 20, -5, 0, 5 } },
      "restarting@15:0.0" },
    { "3 starts within 10 minutes, at 10:00", 0,
      { { 0, 0, -5, 0, 1 }, { 0.5, 0.5, -5, 0, 2 }, { 50, 50, -5, 0, 3 },
        { 600.5, 600.5, -5, 0, 4 } },
      "restarting@600.5:0.0" },
    { "3 starts within 10 minutes, not 10:00.5", 0,
      { { 0, 0, -5, 0, 1 }, { 0.5, 0.5, -5, 0, 2 }, { 50, 50, -5, 0, 3 },
        { 601, 601, -5, 0, 4 } },
      "" },
    { "a card's first start, and a reboot's, are no start again", 0,
      { { 0, 0, N, 0, 0 }, { 5, 5, -1, 0, 1 }, { 10, 10, -1, 0, 2 },
        { 15, 15, -1, 0, 3 }, { 20, 20, -1, 0, 1 }, { 25, 25, -1, 0, 2 } },
      "" },
    { "a silence carried across restarts, told once", 0,
      { { 0, 0, 10, 0, 1 }, { 10, 5, 15, 0, 1 }, { 20, 20, 20, 0, 2 },
        { 30, 30, 30, 0, 3 } },
      "silence@20:20.0" },
    { "a silence already there, told at the watch's start", 0,
      { { 0, 0, 300, 0, 7 } },
      "silence@0:300.0" },
    { "reminded every 5 minutes, not sooner", 5,
      { { 0, 0, 25, 0, 1 }, { 299.5, 299.5, 324.5, 0, 1 },
        { 300, 300, 325, 0, 1 }, { 305, 305, -3, 0, 1 } },
      "silence@0:25.0 silence@300:325.0+ sound@305:327.0" },
    { "a silence told, not again by the next watch", 0,
      { { 0, 0, 25, 0, 1 }, { 5, 5, 30, 0, 1 }, { 10, 10, -3, 0, 1 } },
      "silence@0:25.0 sound@10:32.0", 1 },
    { "not measured when the watch before ended, measured since then", 0,
      { { 0, 0, -5, 0, 1 }, { 66, 0, -5, 0, 1 }, { 70, 69, -5, 0, 1 } },
      "stopped@66:66.0 measured@70:69.0", 2 },
    { "a level more than a minute old, while no watch ran, is no measure", 0,
      { { 0, 0, -5, 0, 1 }, { 66, 0, -5, 0, 1 }, { 130, 65, -5, 0, 1 } },
      "stopped@66:66.0", 2 },
    { "a card expected again, without a level, is no measure", 0,
      { { 0, 0, -5, 0, 1 }, { 66, 0, -5, 0, 1 }, { 70, 69, N, 0, 0 } },
      "stopped@66:66.0", 2 },
    { "a watch stopped, and started 3 minutes later, is no event", 0,
      { { 0, 0, -5, 0, 1 }, { 180, 0, -5, 0, 1 }, { 185, 184, -5, 0, 2 } },
      "", 1 },
    { "channel 2's side lost at D, not before, channel 1 sounding", 0,
      { { 0, 0, -5, 0, 1, 19.5 }, { 5, 5, -5, 0, 1, 20 },
        { 10, 10, -5, 0, 1, 25 } },
      "side-lost(2)@5:20.0" },
    { "both channels silent: a silence, no side lost", 0,
      { { 0, 0, 15, 0, 1, 19.5 }, { 5, 5, 20, 0, 1, 24.5 } },
      "silence@5:20.0" },
    { "a side back at R, not before, after its whole silence, by the next "
      "watch",
      0,
      { { 0, 0, -5, 0, 1, 25 }, { 5, 5, -5, 0, 1, -2.5 },
        { 10, 10, -5, 0, 1, -3 } },
      "side-lost(2)@0:25.0 side-back(2)@10:32.0", 1 },
    { "a side lost, in dead air, and still lost after it", 0,
      { { 0, 0, -5, 0, 1, 25 }, { 25, 25, 20, 0, 1, 50 },
        { 30, 30, -3, 0, 1, 55 } },
      "side-lost(2)@0:25.0 silence@25:20.0 sound@30:22.0 side-lost(2)@30:55.0" },
    { "a clip on each channel, each told with its channel", 0,
      { { 0, 0, -5, 0, 1, -5, 0 }, { 5, 5, -5, 1, 1, -5, 0 },
        { 10, 10, -5, 1, 1, -5, 1 }, { 15, 15, -5, 2, 1, -5, 2 } },
      "clipping(1)@5:0.0 clipping(2)@10:0.0" },
    { "each side lost reminded every 5 minutes, with the first", 5,
      { { 0, 0, -5, 0, 1, 25, 0, -5 }, { 100, 100, -5, 0, 1, 125, 0, 25 },
        { 300, 300, -5, 0, 1, 325, 0, 225 } },
      "side-lost(2)@0:25.0 side-lost(3)@100:25.0 side-lost(2)@300:325.0+ "
      "side-lost(3)@300:225.0+" },
  };

  for (const auto &c : cases)
    {
      Watch watch = {};
      GArray *events = g_array_new (FALSE, FALSE, sizeof (Event));
      std::string all;

      watch.card = "1";
      watch.threshold = -40;
      watch.silence_seconds = 20;
      watch.sound_seconds = 3;
      watch.reminder_us = (gint64) (c.reminder_minutes * 60 * G_USEC_PER_SEC);
      for (size_t at = 0; at < c.steps.size (); at++)
        {
          const Step &step = c.steps[at];
          Reading reading = reading_of (step);

          if (at > 0 && at == c.again_at)
            {
              gchar *text = told_text (&watch);
              Watch again = {};

              again.card = watch.card;
              again.threshold = watch.threshold;
              again.silence_seconds = watch.silence_seconds;
              again.sound_seconds = watch.sound_seconds;
              resume_told (&again, text);
              watch = again;
              g_free (text);
            }
          watch_reading (&watch, &reading,
                         START + (gint64) (step.at * G_USEC_PER_SEC), events);
        }
      for (guint i = 0; i < events->len; i++)
        all += (all.empty () ? "" : " ") + told (g_array_index (events, Event, i));
      EXPECT_EQ (all, c.told) << c.what;
      g_array_free (events, TRUE);
    }
}

// The file as the monitor writes it, its threshold of the admin's own
// among the bounds; what is not the card's, or not a number, is not read.
// A stereo card's silence is the least of its channels'; a monitor's
// before 1.11.0, without channels, counts no levels until it is started
// again.
TEST (Events, ReadTheCardsFile)
{
  const std::string file
      = "# HELP\n"
        "level_monitor_peak_dbfs_bucket{card=\"1\",channel=\"1\",le=\"-0.0005\"} 7\n"
        "level_monitor_peak_dbfs_count{card=\"1\",channel=\"1\"} 9\n"
        "level_monitor_at_or_below_seconds{card=\"1\",channel=\"1\",le=\"-40\"} -4.000\n"
        "level_monitor_at_or_below_seconds{card=\"1\",channel=\"1\",le=\"-42.5\"} 12.500\n"
        "level_monitor_at_or_below_seconds{card=\"1\",channel=\"1\",le=\"-45\"} 1e300\n"
        "level_monitor_starts_total{card=\"1\"} 3\n"
        "level_monitor_last_level_timestamp_seconds{card=\"1\"} 1765300000.250\n"
        "level_monitor_peak_dbfs_bucket{card=\"2\",channel=\"1\",le=\"-0.0005\"} 9\n"
        "level_monitor_peak_dbfs_count{card=\"2\",channel=\"1\"} 9\n"
        "level_monitor_at_or_below_seconds{card=\"2\",channel=\"1\",le=\"-40\"} 30.000\n"
        "level_monitor_at_or_below_seconds{card=\"2\",channel=\"1\",le=\"-42.5\"} 30.000\n"
        "level_monitor_peak_dbfs_bucket{card=\"2\",channel=\"2\",le=\"-0.0005\"} 8\n"
        "level_monitor_peak_dbfs_count{card=\"2\",channel=\"2\"} 9\n"
        "level_monitor_at_or_below_seconds{card=\"2\",channel=\"2\",le=\"-40\"} 6.000\n"
        "level_monitor_starts_total{card=\"2\"} 3\n"
        "level_monitor_last_level_timestamp_seconds{card=\"2\"} 1765300000.250\n"
        "level_monitor_peak_dbfs_bucket{card=\"old\",le=\"-0.0005\"} 7\n"
        "level_monitor_peak_dbfs_count{card=\"old\"} 9\n"
        "level_monitor_at_or_below_seconds{card=\"old\",le=\"-40\"} 25.000\n"
        "level_monitor_starts_total{card=\"old\"} 3\n"
        "level_monitor_last_level_timestamp_seconds{card=\"old\"} 1765300000.250\n";
  struct Case
  {
    std::string what, card;
    double threshold;
    guint channels;
    double silence; // NAN for none
    guint64 clips;
    double second = NAN; // channel 2's silence
    guint64 second_clips = 0;
  } cases[] = {
    { "a bound", "1", -40, 1, -4, 2 },
    { "the admin's threshold", "1", -42.5, 1, 12.5, 2 },
    { "a threshold not counted", "1", -41, 1, NAN, 2 },
    { "a duration that no monitor writes", "1", -45, 1, NAN, 2 },
    { "two channels, the second's the least silence", "2", -40, 2, 6, 0, 6,
      1 },
    { "a threshold that one channel does not count", "2", -42.5, 2, NAN, 0,
      NAN, 1 },
    { "1.10.0's file, without channels", "old", -40, 0, NAN, 0 },
    { "another card's", "3", -40, 0, NAN, 0 },
  };

  for (const auto &c : cases)
    {
      Watch watch = {};

      watch.card = c.card.c_str ();
      watch.threshold = c.threshold;
      Reading reading = read_reading (&watch, file.c_str ());
      EXPECT_TRUE (reading.read) << c.what;
      EXPECT_EQ (reading.has_levels, c.channels > 0) << c.what;
      EXPECT_EQ (reading.channels, c.channels) << c.what;
      EXPECT_EQ (std::isnan (reading.silence), std::isnan (c.silence)) << c.what;
      if (!std::isnan (c.silence))
        {
          EXPECT_EQ (reading.silence, c.silence) << c.what;
        }
      EXPECT_EQ (std::isnan (reading.silences[1]), std::isnan (c.second))
          << c.what;
      if (!std::isnan (c.second))
        {
          EXPECT_EQ (reading.silences[1], c.second) << c.what;
        }
      EXPECT_EQ (reading.clips[0], c.clips) << c.what;
      EXPECT_EQ (reading.clips[1], c.second_clips) << c.what;
      EXPECT_EQ (reading.starts, c.channels > 0 ? 3u : 0u) << c.what;
      EXPECT_EQ (reading.last_level_time,
                 c.card != "3" ? 1765300000250000 : 0) << c.what;
    }
  Watch none = {};
  EXPECT_FALSE (read_reading (&none, NULL).read);
}

// Each event's command in turn, with the event in its environment, the
// next waiting while one runs; one that fails, or hangs and is ended at
// the time limit, is told of once, and the next runs all the same.
TEST (Events, RunEachCommandInTurn)
{
  char folder[] = "/tmp/events-XXXXXX";
  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string log = std::string (folder) + "/log";
  std::string record
      = "echo \"$LEVEL_MONITOR_EVENT $LEVEL_MONITOR_CARD $LEVEL_MONITOR_INSTANCE "
        "$LEVEL_MONITOR_TIME $LEVEL_MONITOR_THRESHOLD $LEVEL_MONITOR_DURATION "
        "$LEVEL_MONITOR_REMINDER $LEVEL_MONITOR_CHANNEL\" >>"
        + log;
  std::string hang = "sleep 30 & " + record + "; sleep 30";
  std::string fail = record + "; exit 3";
  Commands commands = {};

  commands.card = "Studio";
  commands.instance = "studio-pi";
  commands.threshold = -42.5;
  commands.timeout_seconds = 1;
  commands.commands[EVENT_SILENCE] = hang.c_str ();
  commands.commands[EVENT_SOUND] = fail.c_str ();
  commands.commands[EVENT_SIDE_LOST] = record.c_str ();
  commands.commands[EVENT_STOPPED] = record.c_str ();
  g_queue_init (&commands.waiting);

  Event events[] = {
    { EVENT_SILENCE, START, 20, FALSE, 0 },
    { EVENT_CLIPPING, START, 0, FALSE, 1 }, // no command
    { EVENT_SOUND, START + 5 * G_USEC_PER_SEC, 41.5, FALSE, 0 },
    { EVENT_SIDE_LOST, START + 7 * G_USEC_PER_SEC, 25, FALSE, 2 },
    { EVENT_STOPPED, START + 9 * G_USEC_PER_SEC, 3600, TRUE, 0 },
  };
  // A setting of the same name is no channel.
  g_setenv ("LEVEL_MONITOR_CHANNEL", "9", TRUE);
  testing::internal::CaptureStderr ();
  gint64 began = g_get_monotonic_time ();
  for (const Event &event : events)
    queue_event (&commands, &event);
  while ((commands.running != 0 || !g_queue_is_empty (&commands.waiting))
         && g_get_monotonic_time () - began < 20 * G_USEC_PER_SEC)
    g_main_context_iteration (NULL, TRUE);
  std::string errors = testing::internal::GetCapturedStderr ();
  g_unsetenv ("LEVEL_MONITOR_CHANNEL");

  std::ifstream in (log);
  std::stringstream ran;
  ran << in.rdbuf ();
  EXPECT_EQ (ran.str (),
             "silence Studio studio-pi 1765300000 -42.5 20.0 no \n"
             "sound Studio studio-pi 1765300005 -42.5 41.5 no \n"
             "side-lost Studio studio-pi 1765300007 -42.5 25.0 no 2\n"
             "stopped Studio studio-pi 1765300009 -42.5 3600.0 yes \n");
  EXPECT_EQ (errors, "Error: the silence command ran for 1 seconds and was ended\n"
                     "Error: the sound command failed with exit status 3\n");
  unlink (log.c_str ());
  rmdir (folder);
}
