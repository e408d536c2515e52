#include "level_reporter.h"

#include <cstring>

static int
usage_error (void)
{
  g_printerr ("Usage: level-monitor [GSTREAMER-OPTION...] CARD\n");
  return 2;
}

static int
print_help (void)
{
  g_print ("Usage: level-monitor [GSTREAMER-OPTION...] CARD\n"
           "Print the peak level of the first channel of ALSA card CARD\n"
           "(hw:CARD), in dB relative to full scale, one line every half\n"
           "second, until killed.  CARD is a card number or name, with an\n"
           "optional ,DEVICE and ,SUBDEVICE; arecord -l lists the cards.\n"
           "Options: --help, --version, and GStreamer's --gst-* options.\n");
  return 0;
}

static int
print_version (void)
{
  g_print ("level-monitor %s\n", LEVEL_MONITOR_VERSION);
  return 0;
}

/* The card is spliced into the launch text, so take only what ALSA's hw
 * device does: a number or name, ",DEVICE", ",SUBDEVICE" or KEY=VALUE. */
static gboolean
is_card_identifier (const char *card)
{
  size_t length = strlen (card);

  if (length == 0 || length > 64)
    return FALSE;
  for (size_t i = 0; i < length; i++)
    if (!g_ascii_isalnum (card[i]) && strchr ("_-,=", card[i]) == NULL)
      return FALSE;
  return TRUE;
}

static int
invalid_card (const char *card)
{
  gchar *escaped = g_strescape (card, NULL);

  g_printerr ("Invalid card identifier: %s\n", escaped);
  g_free (escaped);
  return 2;
}

/* Runs the capture pipeline until it reports an error. */
static int
monitor (const char *card)
{
  GError *error = NULL;
  gchar *description;
  GstElement *pipeline;
  GstBus *bus;
  guint watch_id;
  GMainLoop *loop;

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
      g_error_free (error);
      gst_clear_object (&pipeline);
      return -1;
    }

  /* The watch quits the loop on the pipeline's first error. */
  loop = g_main_loop_new (NULL, FALSE);
  bus = gst_element_get_bus (pipeline);
  watch_id = gst_bus_add_watch (bus, message_handler, loop);
  gst_element_set_state (pipeline, GST_STATE_PLAYING);

  g_main_loop_run (loop);

  g_source_remove (watch_id);
  gst_element_set_state (pipeline, GST_STATE_NULL);
  gst_object_unref (bus);
  gst_object_unref (pipeline);
  g_main_loop_unref (loop);
  return 1;
}

int
main (int argc, char *argv[])
{
  const char *card;

  gst_init (&argc, &argv);

  if (argc < 2)
    return usage_error ();
  card = argv[1];
  if (strcmp (card, "--help") == 0 || strcmp (card, "-h") == 0)
    return print_help ();
  if (strcmp (card, "--version") == 0)
    return print_version ();
  if (!is_card_identifier (card))
    return invalid_card (card);

  return monitor (card);
}
