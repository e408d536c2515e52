#include "virtual_card.h"

#include <chrono>
#include <cmath>
#include <csignal>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

// Reads lines until one is within 0.01 dB of expected (the virtual card
// needs a moment before the tone reaches it; ten lines at most), then
// returns that line and the count - 1 lines after it.  Every line must be
// a plain "%f" number.
std::vector<double>
steady_peaks (Child &monitor, double expected, size_t count)
{
  static const std::regex number ("-?[0-9]+\\.[0-9]{6}");
  std::vector<double> peaks;
  std::string line;
  int skipped = 0;

  while (peaks.size () < count && skipped <= 10
         && monitor.read_line (line, 5000))
    {
      EXPECT_TRUE (std::regex_match (line, number)) << "line: " << line;
      double peak = std::stod (line);
      if (!peaks.empty () || std::fabs (peak - expected) < 0.01)
        peaks.push_back (peak);
      else
        skipped++;
    }
  EXPECT_EQ (peaks.size (), count) << "no steady " << expected << " dB";
  return peaks;
}

void
expect_all_near (const std::vector<double> &peaks, double expected)
{
  for (double peak : peaks)
    EXPECT_NEAR (peak, expected, 0.01);
}

class EndToEnd : public VirtualCardTest
{
};

TEST_F (EndToEnd, PrintsTheFirstChannelsPeakOfATone)
{
  struct Case
  {
    int left, right;
    double decibels; // 20 log10 (left / 32768)
  } cases[] = {
    { 7770, 7770, -12.50 },
    { 7770, 16384, -12.50 },
    { 16384, 7770, -6.02 },
    { 32767, 100, 0.00 },
  };

  for (const auto &c : cases)
    {
      SCOPED_TRACE (std::to_string (c.left) + " " + std::to_string (c.right));
      Tone tone (c.left, c.right);
      Child monitor ({ LEVEL_MONITOR, "1" });
      expect_all_near (steady_peaks (monitor, c.decibels, 4), c.decibels);
    }
}

// A locale whose decimal separator is a comma, made in a folder of its
// own: the machine may have none.
std::string
comma_locale (const std::string &folder)
{
  std::string locales = "LOCPATH=" + folder;

  run ({ "localedef", "-i", "de_DE", "-f", "UTF-8", folder + "/de_DE.UTF-8" });
  EXPECT_EQ (run ({ "printf", "%.1f", "1,5" }, { locales, "LC_ALL=de_DE.UTF-8" })
                 .out,
             "1,5")
      << "no locale with a decimal comma";
  return locales;
}

TEST_F (EndToEnd, PrintsTheToneWhateverSurroundsTheCard)
{
  char folder[] = "/tmp/locale-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  struct Case
  {
    std::vector<std::string> args, env;
  } cases[] = {
    { { "1,0" }, {} },
    { { "1,0,0" }, {} },
    { { "CARD=1,DEV=0,SUBDEV=0" }, {} },
    { { "--gst-debug-level=0", "1" }, {} },
    { { "1", "--gst-debug-level=0" }, {} },
    // The device, not the card, is captured.
    { { "--device", "hw:1", "9" }, {} },
    // Lines keep their full stop.
    { { "1" }, { comma_locale (folder), "LC_ALL=de_DE.UTF-8" } },
  };
  Tone tone (7770, 7770);

  for (auto &c : cases)
    {
      SCOPED_TRACE (c.args[0] + (c.env.empty () ? "" : " " + c.env.back ()));
      c.args.insert (c.args.begin (), LEVEL_MONITOR);
      Child monitor (c.args, c.env);
      expect_all_near (steady_peaks (monitor, -12.50, 2), -12.50);
    }
  run ({ "rm", "-rf", folder });
}

TEST_F (EndToEnd, EndsWithAnErrorWhenTheCardCannotBeCaptured)
{
  static const std::regex error_line ("(^|\n)Error: [^\n]+\n");

  for (const std::string &card :
       { std::string ("5"), std::string ("Loopback"), std::string ("No_such-card"),
         std::string (64, 'x') })
    {
      Outcome outcome = run ({ LEVEL_MONITOR, card });
      EXPECT_EQ (outcome.status, 1) << card;
      EXPECT_EQ (outcome.out, "") << card;
      // GStreamer may add diagnostics of its own around the line.
      EXPECT_TRUE (std::regex_search (outcome.err, error_line))
          << card << ": " << outcome.err;
    }
}

TEST_F (EndToEnd, PrintsTwoLinesASecond)
{
  Tone tone (7770, 7770);
  Child monitor ({ LEVEL_MONITOR, "1" });

  // Past the start, where the card may hand over what it has buffered.
  steady_peaks (monitor, -12.50, 3);
  auto start = Clock::now ();
  steady_peaks (monitor, -12.50, 10);
  std::chrono::duration<double> elapsed = Clock::now () - start;
  EXPECT_NEAR (elapsed.count (), 5.0, 0.75);
}

TEST_F (EndToEnd, EndsQuietlyWhenTheReaderGoesAway)
{
  Tone tone (7770, 7770);
  Outcome outcome = run ({ "sh", "-c",
                           "{ " LEVEL_MONITOR " 1; echo \"ended by $?\" >&2; }"
                           " | head -n 2" },
                         {}, 20000);

  EXPECT_EQ (std::count (outcome.out.begin (), outcome.out.end (), '\n'), 2);
  // Nothing on stderr, and the status of SIGPIPE.
  EXPECT_EQ (outcome.err, "ended by " + std::to_string (128 + SIGPIPE) + "\n");
}

// Reads every line a finished monitor printed: each is a peak of the tone.
void
expect_only_peaks_of (const std::string &out, double expected)
{
  std::istringstream lines (out);
  std::string line;

  while (std::getline (lines, line))
    EXPECT_NEAR (std::stod (line), expected, 0.01) << line;
}

const std::string no_audio = "Error: no audio from the card for 10 seconds\n";

// Faults injected under ALSA, at open or after 12 good reads: 3 s, as the
// monitor reads a quarter of a second at a time.
TEST_F (EndToEnd, EndsOrGoesOnAsTheCardFails)
{
  struct Case
  {
    std::vector<std::string> fault;
    std::string error; // empty: the run goes on with correct lines
    int status;
  } cases[] = {
    { { "ALSA_FAULT_OPEN=EBUSY" }, "Error: card 1 is busy\n", 3 },
    { { "ALSA_FAULT_READ=ENODEV" },
      "Error: Error recording from audio device. The device has been "
      "disconnected.\n",
      1 },
    { { "ALSA_FAULT_READ=EPIPE", "ALSA_FAULT_TIMES=3" }, "", 0 },
    { { "ALSA_FAULT_READ=ESTRPIPE", "ALSA_FAULT_TIMES=1" }, "", 0 },
    { { "ALSA_FAULT_READ=EPIPE" }, no_audio, 1 },
    { { "ALSA_FAULT_READ=EIO" }, no_audio, 1 },
  };
  Tone tone (7770, 7770);

  for (auto &c : cases)
    {
      SCOPED_TRACE (c.fault[0]);
      c.fault.push_back ("ALSA_FAULT_AFTER=12");
      c.fault.push_back ("LD_PRELOAD=" ALSA_FAULTS);
      Child monitor ({ LEVEL_MONITOR, "1" }, c.fault);
      if (c.error.empty ())
        {
          // Lines from well past the fault, every one of them right.
          expect_all_near (steady_peaks (monitor, -12.50, 16), -12.50);
          continue;
        }
      // The start, 3 s of audio, 10 to 11 s of watchdog and 2 s to exit;
      // but a source stuck in its recovery from EPIPE may still hand on
      // the measurement in progress many seconds late (15 s was seen),
      // and that measurement starts the watchdog's 10 s again.
      std::string out, err;
      EXPECT_EQ (monitor.finish (35000, out, err), c.status);
      EXPECT_EQ (err, c.error);
      expect_only_peaks_of (out, -12.50);
      // The 3 s before the fault, and at most the measurement in progress
      // when it came: none of the stale audio that may follow.
      EXPECT_LE (std::count (out.begin (), out.end (), '\n'),
                 c.fault[0].rfind ("ALSA_FAULT_OPEN", 0) == 0 ? 0 : 6 + 1);
    }
}

// Suspends the virtual card's sink, so that its capture stops delivering,
// until the object dies.
struct SuspendedCard
{
  SuspendedCard () { run ({ "pactl", "suspend-sink", "card1", "1" }); }
  ~SuspendedCard () { run ({ "pactl", "suspend-sink", "card1", "0" }); }
};

TEST_F (EndToEnd, EndsWhenTheCardStopsDelivering)
{
  Tone tone (7770, 7770);
  Child monitor ({ LEVEL_MONITOR, "1" });
  std::string out, err;

  steady_peaks (monitor, -12.50, 2);
  SuspendedCard suspended;
  EXPECT_EQ (monitor.finish (14000, out, err), 1);
  EXPECT_EQ (err, no_audio);
  expect_only_peaks_of (out, -12.50);
}

// Up to the last line before a card is unplugged, as the file is written
// once more on the way out: the tone's -12.5 dB below -10, the quiet start
// below -15; every line, half a second each, at or below -10, and the
// tone's last lines above -15.  The right channel, silent, in series of its
// own: every line at or below -90.
TEST_F (EndToEnd, CountsEveryLinePrintedInTheMetricsFile)
{
  char folder[] = "/tmp/metrics-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string metrics = std::string (folder) + "/level.prom";
  Tone tone (7770, 0);
  Child monitor ({ LEVEL_MONITOR, "--metrics-file", metrics, "1" },
                 { "ALSA_FAULT_READ=ENODEV", "ALSA_FAULT_AFTER=12",
                   "LD_PRELOAD=" ALSA_FAULTS });
  std::string out, err, line;
  size_t printed = 0, quiet = 0;

  EXPECT_EQ (monitor.finish (15000, out, err), 1);
  for (std::istringstream lines (out); std::getline (lines, line); printed++)
    if (std::stod (line) <= -15)
      quiet++;
    else
      EXPECT_NEAR (std::stod (line), -12.50, 0.01) << line;
  EXPECT_GT (printed, quiet) << "no line of the tone";

  std::ostringstream histogram_text;
  histogram_text << std::ifstream (metrics).rdbuf ();
  std::string histogram = histogram_text.str ();
  for (const std::string &expected :
       { "_peak_dbfs_bucket{card=\"1\",channel=\"1\",le=\"-15\"} "
             + std::to_string (quiet),
         "_peak_dbfs_bucket{card=\"1\",channel=\"1\",le=\"-10\"} "
             + std::to_string (printed),
         "_peak_dbfs_count{card=\"1\",channel=\"1\"} " + std::to_string (printed),
         "_at_or_below_seconds{card=\"1\",channel=\"1\",le=\"-10\"} "
             + std::to_string (printed / 2) + (printed % 2 ? ".500" : ".000"),
         "_at_or_below_seconds{card=\"1\",channel=\"1\",le=\"-15\"} -"
             + std::to_string ((printed - quiet) / 2)
             + ((printed - quiet) % 2 ? ".500" : ".000"),
         "_peak_dbfs_bucket{card=\"1\",channel=\"2\",le=\"-90\"} "
             + std::to_string (printed),
         "_at_or_below_seconds{card=\"1\",channel=\"2\",le=\"-90\"} "
             + std::to_string (printed / 2) + (printed % 2 ? ".500" : ".000") })
    EXPECT_NE (histogram.find ("\nlevel_monitor" + expected + "\n"),
               std::string::npos)
        << expected << " in\n" << histogram;
  std::smatch last_level;
  ASSERT_TRUE (std::regex_search (
      histogram, last_level,
      std::regex ("\nlevel_monitor_last_level_timestamp_seconds\\{card=\"1\"\\} "
                  "([0-9]+\\.[0-9]{3})\n")))
      << histogram;
  EXPECT_NEAR (std::stod (last_level[1]), (double) time (NULL), 15)
      << "the last line's time";
  EXPECT_EQ (run ({ "ls", folder }).out, "level.prom\n") << "a file left over";
  run ({ "rm", "-rf", folder });
}

// The value of series in the metrics file, or NAN when it has none.
double
file_sample (const std::string &file, const std::string &series)
{
  std::ostringstream text;
  text << std::ifstream (file).rdbuf ();
  std::string all = "\n" + text.str ();
  size_t at = all.find ("\n" + series + " ");

  return at == std::string::npos ? NAN
                                 : std::stod (all.substr (at + series.size () + 2));
}

// The file tells of the first line at once, and of the last when the
// monitor is stopped, not only at every rewrite; a monitor started again
// goes on from it.
TEST_F (EndToEnd, WritesItsFirstAndLastLevelAndGoesOnFromThem)
{
  char folder[] = "/tmp/metrics-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string metrics = std::string (folder) + "/level.prom";
  const std::string above = "level_monitor_at_or_below_seconds{card=\"1\","
                            "channel=\"1\",le=\"-15\"}";
  const std::string last = "level_monitor_last_level_timestamp_seconds{card=\"1\"}";
  Tone tone (7770, 7770);
  double stopped_above = 0;

  for (int start = 1; start <= 2; start++)
    {
      Child monitor ({ LEVEL_MONITOR, "--metrics-file", metrics, "1" });
      std::string line, out, err;

      ASSERT_TRUE (monitor.read_line (line, 10000));
      std::this_thread::sleep_for (std::chrono::milliseconds (300));
      double first = file_sample (metrics, last);
      EXPECT_EQ (file_sample (metrics, "level_monitor_starts_total{card=\"1\"}"),
                 start)
          << "at the first line of start " << start;
      if (start == 2)
        {
          EXPECT_LT (file_sample (metrics, above), stopped_above)
              << "the sound before the stop is not gone on from";
        }
      for (int lines = 0; lines < 4; lines++)
        ASSERT_TRUE (monitor.read_line (line, 5000));
      kill (monitor.pid (), SIGTERM);
      EXPECT_EQ (monitor.finish (5000, out, err), 128 + SIGTERM) << err;
      EXPECT_GE (file_sample (metrics, last), first + 1.5)
          << "the last line's time, on a stop";
      stopped_above = file_sample (metrics, above);
    }
  run ({ "rm", "-rf", folder });
}

// The signals that end it still do, whatever it waits for: here a reader
// whose pipe is full.  One it was started with ignored, as nohup does,
// still is.
TEST_F (EndToEnd, EndsByTheSignalsItWasNotToldToIgnore)
{
  const std::string monitor = LEVEL_MONITOR " --metrics-file /dev/shm/lm-$$.prom 1";
  Child full ({ "sh", "-c",
                "f=$(mktemp -u); mkfifo $f; sleep 15 <$f >/dev/null 2>&1 & exec >$f; rm $f; "
                "head -c 65536 /dev/zero; exec " + monitor });
  Child hung_up ({ "sh", "-c", "trap '' HUP; rm -f /dev/shm/lm-$$.prom; exec " + monitor });
  std::string line, out, err;

  ASSERT_TRUE (hung_up.read_line (line, 10000));
  std::this_thread::sleep_for (std::chrono::seconds (2));
  kill (full.pid (), SIGTERM);
  kill (hung_up.pid (), SIGHUP);
  EXPECT_EQ (full.finish (5000, out, err), 128 + SIGTERM) << "on a full pipe";
  EXPECT_TRUE (hung_up.read_line (line, 5000)) << "ended by a signal it ignores";
  kill (hung_up.pid (), SIGTERM);
  EXPECT_EQ (hung_up.finish (5000, out, err), 128 + SIGTERM);
  run ({ "sh", "-c", "rm -f /dev/shm/lm-" + std::to_string (full.pid ()) + ".prom "
                     "/dev/shm/lm-" + std::to_string (hung_up.pid ()) + ".prom" });
}

TEST_F (EndToEnd, GoesOnAfterBeingPausedLongerThanTheWatchdog)
{
  Tone tone (7770, 7770);
  Child monitor ({ LEVEL_MONITOR, "1" });

  steady_peaks (monitor, -12.50, 2);
  kill (monitor.pid (), SIGSTOP);
  std::this_thread::sleep_for (std::chrono::seconds (12));
  kill (monitor.pid (), SIGCONT);
  expect_all_near (steady_peaks (monitor, -12.50, 6), -12.50);
}

// Not one of the files the monitor opened, which a closed stream would
// otherwise become.
TEST_F (EndToEnd, RunsWithDevNullInPlaceOfAClosedStream)
{
  struct Case
  {
    std::string redirection;
    int fd;
  } cases[] = {
    { "<&-", 0 },
    { "2>&-", 2 },
  };

  for (const auto &c : cases)
    {
      Child monitor ({ "sh", "-c", "exec " LEVEL_MONITOR " 1 " + c.redirection });
      std::string line, fd = "/proc/" + std::to_string (monitor.pid ())
                             + "/fd/" + std::to_string (c.fd);
      char target[64] = "";

      ASSERT_TRUE (monitor.read_line (line, 10000)) << c.redirection;
      EXPECT_GT (readlink (fd.c_str (), target, sizeof target - 1), 0);
      EXPECT_STREQ (target, "/dev/null") << c.redirection;
    }
}

TEST_F (EndToEnd, EndsWhenALineCannotBeWritten)
{
  Tone tone (7770, 7770);
  Outcome outcome
      = run ({ "sh", "-c", "exec " LEVEL_MONITOR " 1 >/dev/full" });

  EXPECT_EQ (outcome.status, 1);
  EXPECT_EQ (outcome.err,
             "Error: cannot write to standard output: No space left on "
             "device\n");
}

} // namespace
