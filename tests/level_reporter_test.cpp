#include "level_reporter.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

std::string printed;
std::string printed_to_stderr;

void
capture (const gchar *text)
{
  printed += text;
}

void
capture_stderr (const gchar *text)
{
  printed_to_stderr += text;
}

class MessageHandlerTest : public ::testing::Test
{
protected:
  void SetUp () override
  {
    printed.clear ();
    printed_to_stderr.clear ();
    g_set_print_handler (capture);
    g_set_printerr_handler (capture_stderr);
    loop = g_main_loop_new (NULL, FALSE);
  }
  void TearDown () override
  {
    g_set_print_handler (NULL);
    g_set_printerr_handler (NULL);
    g_main_loop_unref (loop);
  }

  // Hands the message to the handler, as the bus watch would, and takes
  // it back.
  gboolean handle (GstMessage *message)
  {
    gboolean keep = message_handler (NULL, message, loop);
    gst_message_unref (message);
    return keep;
  }

  GMainLoop *loop;
};

GstMessage *
element_message (const char *name, GValue *peak)
{
  GstStructure *structure = gst_structure_new_empty (name);

  if (peak != NULL)
    gst_structure_take_value (structure, "peak", peak);
  return gst_message_new_element (NULL, structure);
}

// An element message like the level element posts: one peak per channel.
GstMessage *
level_message (const char *name, const std::vector<double> &peaks)
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
  return element_message (name, &field);
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
  };

  for (const auto &c : cases)
    {
      EXPECT_TRUE (handle (c.message)) << c.what;
      EXPECT_EQ (printed, "") << c.what;
      EXPECT_EQ (printed_to_stderr, "") << c.what;
    }
  g_error_free (error);
}

gboolean
give_up (gpointer loop)
{
  ADD_FAILURE () << "the error did not end the loop";
  g_main_loop_quit ((GMainLoop *) loop);
  return G_SOURCE_REMOVE;
}

TEST_F (MessageHandlerTest, EndsTheRunOnTheFirstError)
{
  GstBus *bus = gst_bus_new ();
  GError *error = g_error_new_literal (GST_RESOURCE_ERROR,
                                       GST_RESOURCE_ERROR_OPEN_READ,
                                       "Could not open the card.");
  guint watch_id = gst_bus_add_watch (bus, message_handler, loop);
  guint timeout_id = g_timeout_add_seconds (5, give_up, loop);

  gst_bus_post (bus, gst_message_new_error (NULL, error, "debug"));
  gst_bus_post (bus, gst_message_new_error (NULL, error, "debug"));
  g_main_loop_run (loop);

  EXPECT_EQ (printed_to_stderr, "Error: Could not open the card.\n");
  EXPECT_EQ (printed, "");
  g_source_remove (timeout_id);
  g_source_remove (watch_id);
  gst_object_unref (bus);
  g_error_free (error);
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
