#include "level_reporter.h"
#include "metrics.h"

#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

std::string printed_to_stderr;

void
capture_stderr (const gchar *text)
{
  printed_to_stderr += text;
}

// Points stdout at fd, or closes it for -1, for the life of the object.
class StdoutTo
{
public:
  explicit StdoutTo (int fd) : saved_ (dup (STDOUT_FILENO))
  {
    if (fd >= 0)
      dup2 (fd, STDOUT_FILENO);
    else
      close (STDOUT_FILENO);
  }
  ~StdoutTo ()
  {
    dup2 (saved_, STDOUT_FILENO);
    close (saved_);
  }

private:
  int saved_;
};

class MessageHandlerTest : public ::testing::Test
{
protected:
  void SetUp () override
  {
    printed_to_stderr.clear ();
    g_set_printerr_handler (capture_stderr);
    run.loop = g_main_loop_new (NULL, FALSE);
    // As if the pipeline had been playing for a minute.
    run.audio_origin = g_get_monotonic_time () - 60 * G_USEC_PER_SEC;
    run.least_origin = G_MAXINT64;
    ASSERT_EQ (pipe2 (output, O_NONBLOCK), 0);
  }
  void TearDown () override
  {
    g_set_printerr_handler (NULL);
    g_main_loop_unref (run.loop);
    close (output[0]);
    close (output[1]);
  }

  // Hands the message to the handler, as the bus watch would, with stdout
  // on a pipe, and takes the message back.
  gboolean handle (GstMessage *message) { return handle (message, output[1]); }

  // The same with stdout on stdout_fd, or closed when that is -1.
  gboolean handle (GstMessage *message, int stdout_fd)
  {
    StdoutTo redirect (stdout_fd);
    gboolean keep = message_handler (NULL, message, &run);
    gst_message_unref (message);
    return keep;
  }

  // What the handler wrote to stdout since the last call.
  std::string printed ()
  {
    char buffer[4096];
    ssize_t n = read (output[0], buffer, sizeof buffer);
    return n > 0 ? std::string (buffer, n) : "";
  }

  RunState run = {};
  int output[2];
};

guint64
counted (const RunState &run)
{
  guint64 total = 0;

  for (guint64 peaks : run.metrics.levels[0].peaks)
    total += peaks;
  return total;
}

GstMessage *
element_message (const char *name, GValue *peak)
{
  GstStructure *structure = gst_structure_new_empty (name);

  if (peak != NULL)
    gst_structure_take_value (structure, "peak", peak);
  return gst_message_new_element (NULL, structure);
}

// An element message like the level element posts: one peak per channel,
// for the audio that ends at endtime.
GstMessage *
level_message (const char *name, const std::vector<double> &peaks,
               GstClockTime endtime = GST_SECOND)
{
  GValue field = G_VALUE_INIT;
  GValue channel = G_VALUE_INIT;

  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GValueArray *array = g_value_array_new (peaks.size ());
  g_value_init (&channel, G_TYPE_DOUBLE);
  for (double peak : peaks)
    {
      g_value_set_double (&channel, peak);
      g_value_array_append (array, &channel);
    }
  g_value_init (&field, g_value_array_get_type ());
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_value_take_boxed (&field, array);
  GstMessage *message = element_message (name, &field);
  gst_structure_set (gst_message_writable_structure (message), "endtime",
                     G_TYPE_UINT64, endtime, "duration", G_TYPE_UINT64,
                     GST_SECOND / 2, NULL);
  return message;
}

TEST_F (MessageHandlerTest, PrintsOnlyTheFirstChannelsPeak)
{
  struct Case
  {
    std::vector<double> peaks;
    const char *line;
  } cases[] = {
    { { -12.5 }, "-12.500000\n" },
    { { 0.0 }, "0.000000\n" },
    { { -3.25, -40.0 }, "-3.250000\n" },
    { { -60.0, 1, 2, 3, 4, 5, 6, 7 }, "-60.000000\n" },
    { { -350.0 }, "-350.000000\n" },
  };

  GstClockTime endtime = 0;

  for (const auto &c : cases)
    {
      endtime += GST_SECOND / 2;
      EXPECT_TRUE (handle (level_message ("level", c.peaks, endtime)));
      EXPECT_EQ (printed (), c.line) << c.peaks.size () << " channels";
      EXPECT_EQ (run.heard, endtime) << "the watchdog was not fed";
    }
  EXPECT_EQ (run.status, 0);
  EXPECT_EQ (counted (run), 5u);
}

TEST_F (MessageHandlerTest, IgnoresEveryOtherMessage)
{
  GError *error = g_error_new_literal (GST_CORE_ERROR, GST_CORE_ERROR_FAILED,
                                       "broken");
  GValue text = G_VALUE_INIT;
  GValue number = G_VALUE_INIT;

  g_value_init (&text, G_TYPE_STRING);
  g_value_set_string (&text, "-1.0");
  g_value_init (&number, G_TYPE_DOUBLE);
  g_value_set_double (&number, -1.0);
  struct Case
  {
    const char *what;
    GstMessage *message;
  } cases[] = {
    { "warning", gst_message_new_warning (NULL, error, "debug") },
    { "end of stream", gst_message_new_eos (NULL) },
    { "state change",
      gst_message_new_state_changed (NULL, GST_STATE_READY, GST_STATE_PLAYING,
                                     GST_STATE_VOID_PENDING) },
    { "stream start", gst_message_new_stream_start (NULL) },
    { "Level", level_message ("Level", { -1.0 }) },
    { "levels", level_message ("levels", { -1.0 }) },
    { "level2", level_message ("level2", { -1.0 }) },
    { "no peak", element_message ("level", NULL) },
    { "peak as text", element_message ("level", &text) },
    { "peak as a number", element_message ("level", &number) },
    { "no channels", level_message ("level", {}) },
    { "audio the card cannot have captured yet",
      level_message ("level", { -1.0 }, 62 * GST_SECOND) },
  };

  for (const auto &c : cases)
    {
      EXPECT_TRUE (handle (c.message)) << c.what;
      EXPECT_EQ (printed (), "") << c.what;
      EXPECT_EQ (printed_to_stderr, "") << c.what;
    }
  EXPECT_EQ (run.heard, 0u);
  EXPECT_EQ (counted (run), 0u);
  g_error_free (error);
}

gboolean
give_up (gpointer loop)
{
  ADD_FAILURE () << "the error did not end the loop";
  g_main_loop_quit ((GMainLoop *) loop);
  return G_SOURCE_REMOVE;
}

// The first error is reported, once, and ends the run; a busy card with
// a status of its own.  An open that fails names the device and ALSA's
// reason, the last line of GStreamer's details.
TEST_F (MessageHandlerTest, EndsTheRunOnTheFirstError)
{
  const char *reason = "Recording open error on device 'x': No such device";
  struct Case
  {
    GstResourceError code;
    std::string details, error;
    int status;
  } cases[] = {
    { GST_RESOURCE_ERROR_OPEN_READ, "debug", "Error: Could not open.\n", 1 },
    { GST_RESOURCE_ERROR_OPEN_READ, std::string ("alsasrc0:\n") + reason,
      std::string ("Error: Could not open. ") + reason + "\n", 1 },
    { GST_RESOURCE_ERROR_BUSY, std::string ("alsasrc0:\n") + reason,
      "Error: card Nowhere is busy\n", BUSY_STATUS },
    { GST_RESOURCE_ERROR_READ, std::string ("alsasrc0:\n") + reason,
      "Error: Could not open.\n", 1 },
  };

  for (const auto &c : cases)
    {
      GstBus *bus = gst_bus_new ();
      GError *error = g_error_new_literal (GST_RESOURCE_ERROR, c.code,
                                           "Could not open.");
      guint watch_id = gst_bus_add_watch (bus, message_handler, &run);
      guint timeout_id = g_timeout_add_seconds (5, give_up, run.loop);

      printed_to_stderr.clear ();
      run.status = 0;
      run.metrics.card = "Nowhere";
      gst_bus_post (bus, gst_message_new_error (NULL, error, c.details.c_str ()));
      gst_bus_post (bus, gst_message_new_error (NULL, error, "debug"));
      {
        StdoutTo redirect (output[1]);
        g_main_loop_run (run.loop);
      }

      EXPECT_EQ (printed_to_stderr, c.error);
      EXPECT_EQ (run.status, c.status) << c.error;
      EXPECT_EQ (printed (), "");
      g_source_remove (timeout_id);
      g_source_remove (watch_id);
      gst_object_unref (bus);
      g_error_free (error);
    }
}

// Once a line is lost the run is over: later measurements print nothing.
TEST_F (MessageHandlerTest, EndsTheRunWhenALineCannotBeWritten)
{
  int read_only = open ("/dev/null", O_RDONLY);
  struct Case
  {
    const char *what;
    int fd;
    std::string reason;
  } cases[] = {
    { "full disk", open ("/dev/full", O_WRONLY), "No space left on device" },
    { "closed", -1, "Bad file descriptor" },
    { "read-only", read_only, "Bad file descriptor" },
  };

  for (const auto &c : cases)
    {
      run.status = 0;
      printed_to_stderr.clear ();
      EXPECT_TRUE (handle (level_message ("level", { -1.0 }), c.fd));
      EXPECT_EQ (printed_to_stderr,
                 "Error: cannot write to standard output: " + c.reason + "\n")
          << c.what;
      EXPECT_EQ (run.status, 1) << c.what;
      EXPECT_EQ (run.heard, 0u) << c.what;
      EXPECT_EQ (counted (run), 0u) << c.what;

      EXPECT_TRUE (handle (level_message ("level", { -1.0 })));
      EXPECT_EQ (printed (), "") << c.what;
      if (c.fd >= 0)
        close (c.fd);
    }
}

// The bound of channel's first bucket that holds a peak, or "" for none.
std::string
first_bucket_holding_one (const std::string &histogram, int channel)
{
  const std::regex bucket ("level_monitor_peak_dbfs_bucket\\{card=\"[^\"]*\","
                           "channel=\""
                           + std::to_string (channel)
                           + "\",le=\"([^\"]+)\"\\} 1");
  std::smatch match;

  return std::regex_search (histogram, match, bucket) ? match[1].str () : "";
}

// A printed peak counts in the lowest bucket whose bound it does not
// exceed, and in the count, each channel's in its own series, numbered
// from 1; a mono card has channel 1 only.
TEST_F (MessageHandlerTest, CountsEachPrintedPeakInItsBucket)
{
  struct Case
  {
    std::vector<double> peaks;
    std::vector<std::string> bounds; // channel 1's first
  } cases[] = {
    { { -350.0 }, { "-90" } },      { { -60.0 }, { "-60" } },
    { { -59.999999 }, { "-55" } },  { { -40.0 }, { "-40" } },
    { { -12.5 }, { "-10" } },       { { -1.0 }, { "-1" } },
    { { -0.00053 }, { "-0.0005" } }, { { -0.000265 }, { "+Inf" } },
    { { 0.0 }, { "+Inf" } },
    { { -12.5, -350.0 }, { "-10", "-90" } },
    { { -350.0, 0.0, -40.0 }, { "-90", "+Inf", "-40" } },
  };

  for (const auto &c : cases)
    {
      run.metrics = {};
      run.metrics.card = "CARD=PCH,DEV=0";
      handle (level_message ("level", c.peaks));
      printed ();
      gchar *text = metrics_text (&run.metrics);
      std::string histogram = text;
      g_free (text);

      for (size_t channel = 1; channel <= c.bounds.size () + 1; channel++)
        {
          std::string count = "\nlevel_monitor_peak_dbfs_count{card=\"CARD=PCH,"
                              "DEV=0\",channel=\""
                              + std::to_string (channel) + "\"} 1\n";
          bool counted = channel <= c.bounds.size ();

          EXPECT_EQ (first_bucket_holding_one (histogram, channel),
                     counted ? c.bounds[channel - 1] : "")
              << c.peaks[0] << ", channel " << channel;
          EXPECT_EQ (histogram.find (count) != std::string::npos, counted)
              << histogram;
        }
    }
}

// The value of series, a metric's name and labels, in text, or "" when
// text has no sample of it.
size_t
occurrences (const std::string &text, const std::string &part)
{
  size_t count = 0;

  for (size_t at = text.find (part); at != std::string::npos;
       at = text.find (part, at + 1))
    count++;
  return count;
}

std::string
sample_of (const std::string &text, const std::string &series)
{
  size_t begins = text.find ("\n" + series + " ");

  if (begins == std::string::npos)
    return "";
  begins += series.size () + 2;
  return text.substr (begins, text.find ('\n', begins) - begins);
}

// Every line printed, half a second of audio each, keeps how long the
// levels have stayed at or below each bound, or above it (negative).  A
// card expected and not measured yet has neither that nor the histogram.
TEST (Metrics, KeepHowLongTheLevelsStayedOnEachSideOfABound)
{
  struct Case
  {
    std::vector<double> peaks;
    std::string bound, seconds; // "": no sample at the bound
    double threshold;           // the admin's own; 0 for none
    size_t bounds;              // how many the durations have, a channel
    double second = NAN;        // the second channel's peak at each line;
                                // NAN for a mono card
    std::string second_seconds = ""; // its duration at the bound
  } cases[] = {
    { { -50, -50, -50 }, "-40", "1.500", 0, 20 },
    { { -40 }, "-40", "0.500", 0, 20 },
    { { -39.999 }, "-40", "-0.500", 0, 20 },
    { { -50, -50, -30 }, "-40", "-0.500", 0, 20 },
    { { -30, -30, -50, -45 }, "-40", "1.000", 0, 20 },
    { { -350 }, "-90", "0.500", 0, 20 },
    { { -0.0004, 0 }, "-0.0005", "-1.000", 0, 20 },
    { {}, "-40", "", 0, 0 },
    { { -42, -42 }, "-42", "1.000", -42, 21 },
    { { -41.999 }, "-42", "-0.500", -42, 21 },
    { { -50 }, "-37.5", "0.500", -37.5, 21 },
    { { -50 }, "-42", "", 0, 20 },
    { { -50 }, "-40", "0.500", -40, 20 },
    { { -50 }, "-40", "0.500", -40.000001, 20 },
    { { -30, -30 }, "-40", "-1.000", 0, 20, -350, "1.000" },
    { { -50, -50 }, "-42", "1.000", -42, 21, -41.999, "-1.000" },
  };

  for (const auto &c : cases)
    {
      Metrics metrics = {};
      gint64 now = 1765300000123456;

      metrics.card = "1";
      metrics.last_level_time = now; // expected from now, as --expect has it
      if (c.threshold != 0)
        add_threshold (&metrics, c.threshold);
      size_t channels = std::isnan (c.second) ? 1 : 2;
      for (double peak : c.peaks)
        {
          double peaks[] = { peak, c.second };
          count_level (&metrics, peaks, channels, GST_SECOND / 2, now);
        }
      gchar *text = metrics_text (&metrics);
      std::string written = text;
      g_free (text);

      for (std::string channel : { "1", "2" })
        EXPECT_EQ (sample_of (written, "level_monitor_at_or_below_seconds"
                                       "{card=\"1\",channel=\"" + channel
                                           + "\",le=\"" + c.bound + "\"}"),
                   channel == "1" ? c.seconds : c.second_seconds)
            << "channel " << channel << " at " << c.bound << " in\n"
            << written;
      // A bound twice would be a series twice, which the node exporter
      // refuses.
      EXPECT_EQ (occurrences (written, "\nlevel_monitor_at_or_below_seconds{"),
                 c.bounds * channels)
          << written;
      for (const char *family :
           { "level_monitor_peak_dbfs", "level_monitor_at_or_below_seconds" })
        EXPECT_EQ (written.find (family) == std::string::npos, c.peaks.empty ())
            << family << " in\n" << written;
      EXPECT_EQ (sample_of (written, "level_monitor_last_level_timestamp_seconds"
                                     "{card=\"1\"}"),
                 "1765300000.123")
          << written;
    }
}

// A run goes on from the file of the run before it for the same card: the
// starts always, the durations only within a minute after the last line
// the file tells of.  What no monitor wrote is not taken.
TEST (Metrics, GoOnFromTheFileOfTheRunBefore)
{
  struct Case
  {
    std::string what;
    double gap;        // seconds from the file's last line to the next
    std::string from, to; // replaced in the file, everywhere
    std::string seconds; // at -40, after one more line at -50
    std::string starts;
  } cases[] = {
    { "within a minute", 59.9, "", "", "3.000", "3" },
    { "a minute after", 60.1, "", "", "0.500", "3" },
    { "sound before", 10, "} 2.500", "} -7.500", "0.500", "3" },
    { "another card", 10, "card=\"1\"", "card=\"2\"", "0.500", "1" },
    { "a clock set back", -10, "", "", "0.500", "3" },
    { "no time", 10, "_timestamp_seconds{", "_time{", "0.500", "3" },
    { "a time not a number", 10, "1765300000.000", "1765300000.000x", "0.500", "3" },
    { "a time not finite", 10, "1765300000.000", "nan", "0.500", "3" },
    { "starts not a number", 10, "_starts_total{card=\"1\"} 2", "_starts_total{card=\"1\"} 2x", "3.000", "1" },
    { "a duration too long", 10, "} 2.500", "} 1e10", "0.500", "3" },
    { "no starts", 10, "_starts_total{", "_starts{", "3.000", "1" },
    { "1.10.0's, its first channel's only", 10, ",channel=\"1\"", "",
      "3.000", "3" },
    { "a channel of another name", 10, ",channel=\"", ",ch=\"", "0.500",
      "3" },
    { "a file too large", 10, "# HELP level_monitor_starts",
      "#" + std::string (MOST_CHANNELS * 65536, ' ') + "\n# HELP level_monitor_starts", "0.500", "1" },
  };
  gint64 then = 1765300000000000;
  char folder[] = "/tmp/metrics-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string path = std::string (folder) + "/level.prom";

  for (const auto &c : cases)
    {
      Metrics before = {}, after = {};

      before.card = after.card = "1";
      add_threshold (&before, -42);
      add_threshold (&after, -42);
      before.starts = 1;
      double peaks[] = { -50, -50 };
      for (int line = 0; line < 5; line++)
        count_level (&before, peaks, 2, GST_SECOND / 2, then);
      gchar *text = metrics_text (&before);
      std::string file = text;
      g_free (text);
      for (size_t at = 0; !c.from.empty ()
                          && (at = file.find (c.from, at)) != std::string::npos;
           at += c.to.size ())
        file.replace (at, c.from.size (), c.to);
      g_file_set_contents (path.c_str (), file.c_str (), -1, NULL);
      after.file = path.c_str ();
      resume_metrics_file (&after);
      EXPECT_TRUE (count_level (&after, peaks, 2, GST_SECOND / 2,
                                then + (gint64) (c.gap * G_USEC_PER_SEC)))
          << c.what;
      text = metrics_text (&after);
      std::string written = text;
      g_free (text);

      for (const char *series : { "channel=\"1\",le=\"-40\"",
                                  "channel=\"2\",le=\"-42\"" })
        EXPECT_EQ (sample_of (written, std::string ("level_monitor_at_or_below_"
                                                    "seconds{card=\"1\",")
                                           + series + "}"),
                   c.seconds)
            << c.what << " at " << series;
      EXPECT_EQ (sample_of (written, "level_monitor_starts_total{card=\"1\"}"),
                 c.starts)
          << c.what;
    }
  unlink (path.c_str ());
  rmdir (folder);
}

// A rewrite that fails ends the run, like a line that cannot be written.
// Before the first line, the file is left as the last run, or the service,
// wrote it: it tells since when the card has not been measured.
TEST_F (MessageHandlerTest, RewritesTheMetricsFileOrEndsTheRun)
{
  char folder[] = "/tmp/metrics-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string file = std::string (folder) + "/level.prom";
  std::string gone = std::string (folder) + "/gone/level.prom";
  struct Case
  {
    std::string file;
    gint64 last_level_time;
    std::string error; // empty: rewritten, once a line was printed
  } cases[] = {
    { file, 0, "" },
    { gone, 0, "" },
    { file, 1, "" },
    { gone, 1, "Error: cannot write the metrics file " + gone
                   + ": No such file or directory\n" },
  };

  run.metrics.card = "1";
  for (const auto &c : cases)
    {
      run.metrics.file = c.file.c_str ();
      run.metrics.last_level_time = c.last_level_time;
      EXPECT_EQ (metrics_tick (&run), c.error.empty ()) << c.file;
      EXPECT_EQ (printed_to_stderr, c.error) << c.file;
      EXPECT_EQ (run.status, c.error.empty () ? 0 : 1) << c.file;
      EXPECT_EQ (g_file_test (file.c_str (), G_FILE_TEST_EXISTS),
                 c.last_level_time != 0)
          << c.file << " written before the first line, or never";
    }
  EXPECT_EQ (run.metrics.file, nullptr) << "a file that failed is written again";
  unlink (file.c_str ());
  rmdir (folder);
}

// Each tick is named by what was heard since the one before: q nothing,
// f a second of audio, j a jump of the stream's clock by a minute.
TEST_F (MessageHandlerTest, WatchdogEndsTheRunAtTheTenthQuietSecondInARow)
{
  struct Case
  {
    std::string ticks;
    size_t error_at; // the tick that ends the run; 0 for none
  } cases[] = {
    { "qqqqqqqqqq", 10 },
    { "ffffffffffqqqqqqqqqq", 20 },
    { "qqqqqqqqqfqqqqqqqqqfqqqqqqqqqf", 0 },
    { "fjjjjjjjjjj", 11 },
  };

  for (const auto &c : cases)
    {
      RunState watched = {};
      size_t ended_at = 0;

      watched.loop = run.loop;
      printed_to_stderr.clear ();
      for (size_t tick = 1; tick <= c.ticks.size () && ended_at == 0; tick++)
        {
          char heard = c.ticks[tick - 1];
          watched.heard += heard == 'f' ? GST_SECOND
                           : heard == 'j' ? 60 * GST_SECOND
                                          : 0;
          watchdog_tick (&watched);
          if (watched.status != 0)
            ended_at = tick;
        }
      EXPECT_EQ (ended_at, c.error_at) << c.ticks;
      EXPECT_EQ (printed_to_stderr,
                 c.error_at == 0
                     ? ""
                     : "Error: no audio from the card for 10 seconds\n")
          << c.ticks;
    }
}

// A measurement's audio against the system's clock, with the audio's
// origin at 0: a second ahead at most, for what the card buffered.
TEST (CardClock, RefusesAudioMoreThanASecondAheadOfTheSystemClock)
{
  struct Case
  {
    gint64 ahead_us;
    gboolean printed;
  } cases[] = {
    { -5 * G_USEC_PER_SEC, TRUE },
    { 0, TRUE },
    { G_USEC_PER_SEC - 1, TRUE },
    { G_USEC_PER_SEC + 1, FALSE },
    { 60 * G_USEC_PER_SEC, FALSE },
  };

  for (const auto &c : cases)
    {
      RunState run = {};
      gint64 now = 10 * G_USEC_PER_SEC;

      run.least_origin = G_MAXINT64;
      EXPECT_EQ (can_have_been_captured ((now + c.ahead_us) * GST_USECOND,
                                         now, &run),
                 c.printed)
          << c.ahead_us << " us ahead";
    }
}

// Seconds of a card whose clock runs at rate times the system's: a
// measurement every half second, the origin followed every second.
struct Stretch
{
  double rate;
  int seconds;
};

TEST (CardClock, FollowsAFastCardButNotABurstOfStaleAudio)
{
  struct Case
  {
    const char *what;
    std::vector<Stretch> stretches;
    int refused;
  } cases[] = {
    { "on time for an hour", { { 1.0, 3600 } }, 0 },
    { "0.5% fast for an hour", { { 1.005, 3600 } }, 0 },
    { "0.5% slow for an hour", { { 0.995, 3600 } }, 0 },
    { "3% fast for a minute: 2% more than it may follow, a second by 50 s",
      { { 1.03, 60 } }, 21 },
    { "30 s of stale audio in a second, then on time, 29 s ahead",
      { { 1.0, 60 }, { 30.0, 1 }, { 1.0, 10 } }, 22 },
  };

  for (const auto &c : cases)
    {
      RunState run = {};
      double audio_us = 0;
      gint64 now = 0;
      int refused = 0;

      run.least_origin = G_MAXINT64;
      for (const Stretch &stretch : c.stretches)
        for (int half = 1; half <= 2 * stretch.seconds; half++)
          {
            now += G_USEC_PER_SEC / 2;
            audio_us += stretch.rate * G_USEC_PER_SEC / 2;
            if (!can_have_been_captured ((GstClockTime) audio_us * GST_USECOND,
                                         now, &run))
              refused++;
            if (half % 2 == 0)
              follow_card_clock (&run);
          }
      EXPECT_EQ (refused, c.refused) << c.what;
    }
}

} // namespace

int
main (int argc, char *argv[])
{
  gst_init (&argc, &argv);
  // A critical is the handler reading what is not there: fail loudly.
  g_log_set_always_fatal ((GLogLevelFlags) (G_LOG_FATAL_MASK
                                            | G_LOG_LEVEL_CRITICAL
                                            | G_LOG_LEVEL_WARNING));
  ::testing::InitGoogleTest (&argc, argv);
  return RUN_ALL_TESTS ();
}
