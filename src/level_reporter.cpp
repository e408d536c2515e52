#include "level_reporter.h"

#include <cstring>

/* Prints the first channel's peak, unless the measurement holds none. */
static void
print_first_peak (const GstStructure *level)
{
  const GValue *peak;
  GValueArray *channels;
  const GValue *first = NULL;

  peak = gst_structure_get_value (level, "peak");
  /* The level element still hands its per-channel values over as a
   * GValueArray. */
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  if (peak == NULL || !G_VALUE_HOLDS (peak, g_value_array_get_type ()))
    return;
  channels = (GValueArray *) g_value_get_boxed (peak);
  if (channels != NULL && channels->n_values > 0)
    first = g_value_array_get_nth (channels, 0);
  G_GNUC_END_IGNORE_DEPRECATIONS

  if (first != NULL && G_VALUE_HOLDS_DOUBLE (first))
    g_print ("%f\n", g_value_get_double (first));
}

/* A card that cannot be captured from only ever tells through the bus;
 * report it and end the run rather than wait in silence. */
static void
report_error (GstMessage *message, GMainLoop *loop)
{
  GError *error = NULL;

  gst_message_parse_error (message, &error, NULL);
  g_printerr ("Error: %s\n", error->message);
  g_error_free (error);
  g_main_loop_quit (loop);
}

gboolean
message_handler (GstBus *, GstMessage *message, gpointer loop)
{
  const GstStructure *structure;

  switch (GST_MESSAGE_TYPE (message))
    {
    case GST_MESSAGE_ELEMENT:
      structure = gst_message_get_structure (message);
      if (strcmp (gst_structure_get_name (structure), "level") == 0)
        print_first_peak (structure);
      break;
    case GST_MESSAGE_ERROR:
      report_error (message, (GMainLoop *) loop);
      break;
    default:
      break;
    }
  return TRUE;
}
