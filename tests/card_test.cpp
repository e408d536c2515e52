#include "card.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// A folder laid out as the kernel's /proc/asound, removed with the object.
class Asound
{
public:
  Asound ()
  {
    char folder[] = "/tmp/asound-XXXXXX";
    path = mkdtemp (folder);
  }
  ~Asound ()
  {
    gchar *command = g_strdup_printf ("rm -rf '%s'", path.c_str ());
    EXPECT_EQ (system (command), 0);
    g_free (command);
  }
  // A substream's status: open by owner, or closed for 0.
  void substream (const std::string &sub, long owner)
  {
    std::string folder = path + "/" + sub;
    std::string status = owner == 0 ? "closed\n"
                         : "state: RUNNING\nowner_pid   : "
                               + std::to_string (owner) + "\ntrigger_time: 1.0\n";
    ASSERT_EQ (g_mkdir_with_parents (folder.c_str (), 0755), 0);
    ASSERT_TRUE (g_file_set_contents ((folder + "/status").c_str (),
                                      status.c_str (), -1, NULL));
  }
  std::string path;
};

// A process with a name to read: "sleep", or the name it gives itself.
struct Sleeper
{
  explicit Sleeper (const char *name = NULL) : pid (fork ())
  {
    if (pid == 0 && name != NULL)
      {
        prctl (PR_SET_NAME, name);
        pause ();
        _exit (0);
      }
    if (pid == 0)
      {
        execlp ("sleep", "sleep", "60", (char *) NULL);
        _exit (127);
      }
    usleep (100000);
  }
  ~Sleeper ()
  {
    kill (pid, SIGKILL);
    waitpid (pid, NULL, 0);
  }
  pid_t pid;
};

// The kernel names the process that holds each open substream; a card is
// named by number or id, a device and a subdevice, in either of ALSA's
// forms, with numbers as ALSA reads them.  No name where /proc hides the
// process, and a name escaped, which its process sets; never the monitor
// itself.
TEST (Card, NamesTheProcessesThatHoldItsCapture)
{
  Asound asound;
  Sleeper sleeper;
  Sleeper forger ("x\nError: \033[");
  const long unseen = 2147483647;
  std::string sleep = "process " + std::to_string (sleeper.pid) + " (sleep)";
  std::string hidden = "process " + std::to_string (unseen);

  asound.substream ("card1/pcm0c/sub0", sleeper.pid);
  asound.substream ("card1/pcm0c/sub1", 0);
  asound.substream ("card1/pcm0p/sub0", unseen);
  asound.substream ("card1/pcm1c/sub0", unseen);
  asound.substream ("card1/pcm1c/sub1", sleeper.pid);
  asound.substream ("card1/pcm1c/sub2", unseen);
  asound.substream ("card2/pcm0c/sub0", getpid ());
  asound.substream ("card8/pcm0c/sub0", forger.pid);
  ASSERT_EQ (symlink ("card1", (asound.path + "/Studio").c_str ()), 0);
  struct Case
  {
    const char *card;
    std::string holders; // empty: none
  } cases[] = {
    { "1", sleep },
    { "Studio", sleep },
    { "1,0,1", "" },
    { "1,1", sleep + ", " + hidden },
    { "Studio,1,2", hidden },
    { "CARD=Studio,DEV=1,SUBDEV=1", sleep },
    { "DEV=1,CARD=1", sleep + ", " + hidden },
    { "CARD=1,SUBDEV=0", sleep },
    { "2", "" },
    { "3", "" },
    { "1,7", "" },
    { "01,01,02", hidden },
    { "010", "process " + std::to_string (forger.pid)
                 + " (x\\nError: \\033[)" },
    { "0x8", "process " + std::to_string (forger.pid)
                 + " (x\\nError: \\033[)" },
    { "08", "" },
  };

  for (const auto &c : cases)
    {
      gchar *holders = capture_holders (asound.path.c_str (), c.card);
      EXPECT_EQ (holders != NULL ? holders : "", c.holders) << c.card;
      g_free (holders);
    }
}

} // namespace
