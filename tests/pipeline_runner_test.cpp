#include "child.h"

#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const std::string usage = "Usage: level-monitor [OPTION...] CARD\n";
const std::string cannot_write_nonexistent
    = "Error: cannot write the metrics file /nonexistent/level.prom: No such "
      "file or directory\n";

// What the command line alone decides, before any pipeline exists.
TEST (PipelineRunner, AnswersTheCommandLine)
{
  struct Case
  {
    std::vector<std::string> args;
    int status;
    std::string out_begins, err;
  } cases[] = {
    { {}, 2, "", usage },
    { { "--gst-debug-level=0" }, 2, "", usage },
    { { "--help" }, 0, usage, "" },
    { { "-h", "1" }, 0, usage, "" },
    { { "1", "--help" }, 0, usage, "" },
    { { "--version" }, 0, "level-monitor " PROJECT_VERSION "\n", "" },
    { { "--frobnicate" }, 2, "", "Unknown option --frobnicate\n" + usage },
    { { "-x", "1" }, 2, "", "Unknown option -x\n" + usage },
    { { "1", "-x" }, 2, "", "Unknown option -x\n" + usage },
    { { "-" }, 2, "", "Invalid card identifier: -\n" },
    { { "--", "-1" }, 2, "", "Invalid card identifier: -1\n" },
    { { "--gst-no-such-option", "1" }, 2, "",
      "Unknown option --gst-no-such-option\n" + usage },
    { { "--metrics-file" }, 2, "",
      "Missing argument for --metrics-file\n" + usage },
    { { "--metrics-file", "/tmp/level.prom" }, 2, "", usage },
    { { "--metrics-file", "", "1" }, 2, "", usage },
    { { "1", "2" }, 2, "", usage },
    { { "--expect", "1" }, 2, "", usage },
    { { "--metrics-file", "/nonexistent/level.prom", "1" }, 1, "",
      cannot_write_nonexistent },
    { { "1", "--metrics-file", "/nonexistent/level.prom" }, 1, "",
      cannot_write_nonexistent },
    { { "--expect", "1", "--metrics-file", "/nonexistent/level.prom" }, 1, "",
      cannot_write_nonexistent },
    { { "--device" }, 2, "", "Missing argument for --device\n" + usage },
    // A threshold from -200 to 0 dBFS, taken before the file is tried.
    { { "--silence-threshold", "-200", "--metrics-file",
        "/nonexistent/level.prom", "1" }, 1, "", cannot_write_nonexistent },
    { { "--silence-threshold", "0", "--metrics-file",
        "/nonexistent/level.prom", "1" }, 1, "", cannot_write_nonexistent },
    { { "--silence-threshold", "-200.5", "1" }, 2, "",
      "Invalid silence threshold: -200.5\n" },
    { { "--silence-threshold", "0.5", "1" }, 2, "",
      "Invalid silence threshold: 0.5\n" },
    { { "--silence-threshold", "-40dB", "1" }, 2, "",
      "Invalid silence threshold: -40dB\n" },
    { { "--silence-threshold", "nan", "1" }, 2, "",
      "Invalid silence threshold: nan\n" },
    // A device that ALSA does not know: its reason.
    { { "--device", "nosuch:x", "1" }, 1, "",
      "Error: Could not open audio device for recording. Recording open "
      "error on device 'nosuch:x': No such file or directory\n" },
  };

  for (auto &c : cases)
    {
      std::string trace = "level-monitor";
      for (const std::string &arg : c.args)
        trace += " " + arg;
      c.args.insert (c.args.begin (), LEVEL_MONITOR);
      Outcome outcome = run (c.args);
      EXPECT_EQ (outcome.status, c.status) << trace;
      if (c.out_begins.empty ())
        EXPECT_EQ (outcome.out, "") << trace;
      else
        EXPECT_EQ (outcome.out.rfind (c.out_begins, 0), 0u) << trace;
      EXPECT_EQ (outcome.err, c.err) << trace;
    }
}

// The file of a card enabled and not measured yet, which says since when
// it is expected; without GStreamer's registry, as the service asks for it.
TEST (PipelineRunner, WritesOnlyTheLastLevelTimeOfACardExpected)
{
  char folder[] = "/tmp/expect-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string file = std::string (folder) + "/level.prom";
  Outcome outcome = run (
      { LEVEL_MONITOR, "--metrics-file", file, "--expect", "1" },
      { "GST_REGISTRY_DISABLE=yes" });
  std::ostringstream read;
  read << std::ifstream (file).rdbuf ();
  std::string written = read.str ();
  run ({ "rm", "-rf", folder });

  EXPECT_EQ (outcome.status, 0);
  EXPECT_EQ (outcome.out, "");
  EXPECT_EQ (outcome.err, "");
  std::smatch time;
  ASSERT_TRUE (std::regex_match (
      written, time,
      std::regex ("# HELP level_monitor_last_level_timestamp_seconds When the "
                  "last peak level of an ALSA card's first channel was "
                  "printed, or, before the first, when its service began to "
                  "expect it, in seconds since the epoch\\.\n"
                  "# TYPE level_monitor_last_level_timestamp_seconds gauge\n"
                  "level_monitor_last_level_timestamp_seconds\\{card=\"1\"\\} "
                  "([0-9]+\\.[0-9]{3})\n")))
      << written;
  EXPECT_NEAR (std::stod (time[1]), (double) ::time (NULL), 5);
}

// A rename over a device, a pipe or a link would put the metrics in its
// place for every program: only a regular file, or none, is replaced.
TEST (PipelineRunner, ReplacesOnlyARegularMetricsFile)
{
  char folder[] = "/tmp/replace-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string at = std::string (folder) + "/";
  ASSERT_EQ (mkfifo ((at + "fifo").c_str (), 0644), 0);
  ASSERT_EQ (symlink ("regular", (at + "link").c_str ()), 0);
  ASSERT_EQ (mkdir ((at + "folder").c_str (), 0755), 0);
  run ({ "touch", at + "regular" });
  struct Case
  {
    std::string name;
    std::vector<std::string> mode;
    int status;
  } cases[] = {
    { "regular", { "--expect" }, 0 },
    { "fifo", { "--expect" }, 1 },
    { "link", { "--expect" }, 1 },
    { "folder", { "--expect" }, 1 },
    { "fifo", {}, 1 },
  };

  for (const auto &c : cases)
    {
      std::string file = at + c.name;
      struct stat before, after;
      std::vector<std::string> args = { LEVEL_MONITOR, "--metrics-file", file };
      args.insert (args.end (), c.mode.begin (), c.mode.end ());
      args.push_back ("1");

      ASSERT_EQ (lstat (file.c_str (), &before), 0);
      Outcome outcome = run (args);
      ASSERT_EQ (lstat (file.c_str (), &after), 0);
      EXPECT_EQ (outcome.status, c.status) << c.name;
      EXPECT_EQ (outcome.err, c.status == 0 ? ""
                 : "Error: cannot write the metrics file " + file
                       + ": not a regular file\n") << c.name;
      EXPECT_EQ (before.st_mode & S_IFMT, after.st_mode & S_IFMT) << c.name;
    }
  run ({ "rm", "-rf", folder });
}

// Neither a card nor a device is pasted into the launch text; both are
// refused before anything is opened unless they are words of ALSA's.
TEST (PipelineRunner, RefusesCardsAndDevicesThatAreNotALSAs)
{
  char folder[] = "/tmp/injected-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string recording = std::string (folder) + "/recording";
  std::string tee = "1 ! tee name=t ! queue ! filesink location=" + recording
                    + " t.";
  std::string digits (4096, '7');
  const std::string card = "Invalid card identifier: ";
  const std::string device = "Invalid device name: ";
  struct Case
  {
    std::vector<std::string> args;
    std::string error;
  } cases[] = {
    { { tee }, card + tee },
    { { "1 name=x" }, card + "1 name=x" },
    { { "" }, card },
    { { " 1" }, card + " 1" },
    { { "'1'" }, card + "'1'" },
    { { "\"1\"" }, card + "\\\"1\\\"" },
    { { "1!" }, card + "1!" },
    { { "1;2" }, card + "1;2" },
    { { "1\n" }, card + "1\\n" },
    { { "hw:1" }, card + "hw:1" },
    { { "caf\xc3\xa9" }, card + "caf\\303\\251" },
    { { std::string (65, 'x') }, card + std::string (65, 'x') },
    { { digits }, card + digits },
    { { "--device", "", "1" }, device },
    { { "--device", tee, "1" }, device + tee },
    { { "--device", "hw:1\n", "1" }, device + "hw:1\\n" },
    { { "--device", "hw:1\t", "1" }, device + "hw:1\\t" },
    { { "--device", "caf\xc3\xa9", "1" }, device + "caf\\303\\251" },
    { { "--device=" + std::string (256, 'x'), "1" },
      device + std::string (256, 'x') },
    { { "--device", "hw:1", "1 ! fakesink" }, card + "1 ! fakesink" },
  };

  for (auto &c : cases)
    {
      std::string shown = c.error;
      c.args.insert (c.args.begin (), LEVEL_MONITOR);
      Outcome outcome = run (c.args);
      EXPECT_EQ (outcome.status, 2) << shown;
      EXPECT_EQ (outcome.out, "") << shown;
      EXPECT_EQ (outcome.err, c.error + "\n");
    }
  EXPECT_NE (access (recording.c_str (), F_OK), 0) << "the card was recorded";
  rmdir (folder);
}

// Checked before anything is opened, so no other file can take fd 1.
TEST (PipelineRunner, RefusesAStandardOutputItCannotWriteTo)
{
  const std::string cannot_write = "Error: cannot write to standard output: ";
  struct Case
  {
    std::string redirected;
    std::string reason;
  } cases[] = {
    { "1 >&-", "Bad file descriptor" },
    { "1 1</dev/null", "Bad file descriptor" },
    { "--version >&-", "Bad file descriptor" },
    { "--help >/dev/full", "No space left on device" },
  };

  for (const auto &c : cases)
    {
      Outcome outcome = run (
          { "sh", "-c", "exec " LEVEL_MONITOR " " + c.redirected });
      EXPECT_EQ (outcome.status, 1) << c.redirected;
      EXPECT_EQ (outcome.err, cannot_write + c.reason + "\n") << c.redirected;
    }
}

// A plugin folder with every element of the pipeline but level.
TEST (PipelineRunner, ReportsARejectedLaunchDescription)
{
  char folder[] = "/tmp/plugins-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  std::string plugins = folder;
  for (const char *name : { "coreelements", "alsa", "audioconvert" })
    {
      std::string library = std::string ("/libgst") + name + ".so";
      ASSERT_EQ (symlink ((GST_PLUGINS_DIR + library).c_str (),
                          (plugins + library).c_str ()),
                 0);
    }

  Outcome outcome = run ({ LEVEL_MONITOR, "1" },
                         { "GST_PLUGIN_SYSTEM_PATH_1_0=" + plugins,
                           "GST_PLUGIN_PATH_1_0=",
                           "GST_REGISTRY_1_0=" + plugins + "/registry.bin" });
  run ({ "rm", "-rf", plugins });

  EXPECT_EQ (outcome.err, "Failed to parse launch: no element \"level\"\n");
  EXPECT_EQ (outcome.out, "");
  EXPECT_EQ (outcome.status, 255);
}

} // namespace
