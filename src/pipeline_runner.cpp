#include "level_reporter.h"

int
main (int argc, char *argv[])
{
  GError *error = NULL;
  const char *card;
  gchar *description;
  GstElement *pipeline;
  GstBus *bus;
  guint watch_id;
  GMainLoop *loop;

  gst_init (&argc, &argv);

  card = argv[1];
  description = g_strconcat ("alsasrc device=hw:", card,
                             " ! audioconvert"
                             " ! level post-messages=true interval=500000000"
                             " ! fakesink sync=true",
                             NULL);
  pipeline = gst_parse_launch (description, &error);
  g_free (description);
  /* A pipeline returned together with an error is only partly built. */
  if (error != NULL)
    {
      g_printerr ("Failed to parse launch: %s\n", error->message);
      return -1;
    }

  bus = gst_element_get_bus (pipeline);
  watch_id = gst_bus_add_watch (bus, message_handler, NULL);
  gst_element_set_state (pipeline, GST_STATE_PLAYING);

  loop = g_main_loop_new (NULL, FALSE);
  g_main_loop_run (loop);

  g_source_remove (watch_id);
  g_main_loop_unref (loop);
  return 0;
}
