#include "level_reporter.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

std::string printed;

void
capture (const gchar *text)
{
  printed += text;
}

class MessageHandlerTest : public ::testing::Test
{
protected:
  void SetUp () override
  {
    printed.clear ();
    g_set_print_handler (capture);
  }
  void TearDown () override { g_set_print_handler (NULL); }

  // Hands the message to the handler, as the bus watch would, and takes
  // it back.
  gboolean handle (GstMessage *message)
  {
    gboolean keep = message_handler (NULL, message, NULL);
    gst_message_unref (message);
    return keep;
  }
};

// An element message like the level element posts: one peak per channel.
GstMessage *
level_message (const char *name, const std::vector<double> &peaks)
{
  GstStructure *structure = gst_structure_new_empty (name);
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
  gst_structure_take_value (structure, "peak", &field);
  return gst_message_new_element (NULL, structure);
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

  for (const auto &c : cases)
    {
      printed.clear ();
      EXPECT_TRUE (handle (level_message ("level", c.peaks)));
      EXPECT_EQ (printed, c.line) << c.peaks.size () << " channels";
    }
}

TEST_F (MessageHandlerTest, IgnoresEveryOtherMessage)
{
  GError *error = g_error_new_literal (GST_CORE_ERROR, GST_CORE_ERROR_FAILED,
                                       "broken");
  GstMessage *messages[] = {
    gst_message_new_error (NULL, error, "debug"),
    gst_message_new_warning (NULL, error, "debug"),
    gst_message_new_eos (NULL),
    gst_message_new_state_changed (NULL, GST_STATE_READY, GST_STATE_PLAYING,
                                   GST_STATE_VOID_PENDING),
    gst_message_new_stream_start (NULL),
    level_message ("Level", { -1.0 }),
    level_message ("levels", { -1.0 }),
    level_message ("level2", { -1.0 }),
  };

  for (GstMessage *message : messages)
    {
      std::string type = GST_MESSAGE_TYPE_NAME (message);
      EXPECT_TRUE (handle (message)) << type;
      EXPECT_EQ (printed, "") << type;
    }
  g_error_free (error);
}

} // namespace
