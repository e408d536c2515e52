#include "child.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

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
