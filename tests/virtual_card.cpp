#include "virtual_card.h"

#include <cstdlib>
#include <unistd.h>

std::string VirtualCardTest::folder_;
std::unique_ptr<Child> VirtualCardTest::server_;

Tone::Tone (int left, int right)
    : generator ({ TONE, std::to_string (left), std::to_string (right) }),
      player ({ "pacat", "--playback", "-d", "card1", "--format=s16le",
                "--rate=44100", "--channels=2" },
              {}, generator.stdout_fd ())
{
}

void
VirtualCardTest::SetUpTestSuite ()
{
  char folder[] = "/tmp/virtual-card-XXXXXX";

  ASSERT_NE (mkdtemp (folder), nullptr);
  folder_ = folder;
  // The server, pacat and the monitor all find each other through these.
  setenv ("XDG_RUNTIME_DIR", folder, 1);
  setenv ("PULSE_RUNTIME_PATH", folder, 1);
  setenv ("HOME", folder, 1);
  setenv ("ALSA_CONFIG_PATH", ASOUND_CONF, 1);

  server_ = std::make_unique<Child> (
      std::vector<std::string>{ "sh", VIRTUAL_CARD_SERVER, folder_ });
  for (int tries = 0; tries < 100; tries++)
    {
      if (run ({ "pactl", "info" }).status == 0)
        return;
      usleep (100000);
    }
  FAIL () << "the PulseAudio server did not start";
}

void
VirtualCardTest::TearDownTestSuite ()
{
  server_.reset ();
  run ({ "rm", "-rf", folder_ });
}
