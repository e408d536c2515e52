#include "virtual_card.h"

#include <chrono>
#include <cmath>
#include <regex>

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

TEST_F (EndToEnd, FindsTheCardWhateverSurroundsIt)
{
  std::vector<std::string> command_lines[] = {
    { "1,0" },
    { "1,0,0" },
    { "CARD=1,DEV=0" },
    { "--gst-debug-level=0", "1" },
    { "1", "ignored", "--also-ignored" },
  };
  Tone tone (7770, 7770);

  for (auto args : command_lines)
    {
      SCOPED_TRACE (args[0]);
      args.insert (args.begin (), LEVEL_MONITOR);
      Child monitor (args);
      expect_all_near (steady_peaks (monitor, -12.50, 2), -12.50);
    }
}

TEST_F (EndToEnd, EndsWithAnErrorWhenTheCardCannotBeCaptured)
{
  static const std::regex error_line ("(^|\n)Error: [^\n]+\n");

  for (const std::string &card :
       { std::string ("5"), std::string ("Loopback"), std::string (64, 'x') })
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
  Outcome outcome = run (
      { "sh", "-c", std::string (LEVEL_MONITOR) + " 1 | head -n 2" }, {},
      20000);

  EXPECT_EQ (outcome.status, 0);
  EXPECT_EQ (std::count (outcome.out.begin (), outcome.out.end (), '\n'), 2);
}

} // namespace
