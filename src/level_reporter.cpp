#include "level_reporter.h"

#include <cstring>

gboolean
message_handler (GstBus *, GstMessage *message, gpointer)
{
  const GstStructure *structure;
  const GValue *peak;
  GValueArray *channels;
  const GValue *first;

  if (GST_MESSAGE_TYPE (message) != GST_MESSAGE_ELEMENT)
    return TRUE;

  structure = gst_message_get_structure (message);
  if (strcmp (gst_structure_get_name (structure), "level") != 0)
    return TRUE;

  peak = gst_structure_get_value (structure, "peak");
  /* The level element still hands its per-channel values over as a
   * GValueArray. */
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  channels = (GValueArray *) g_value_get_boxed (peak);
  first = g_value_array_get_nth (channels, 0);
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_print ("%f\n", g_value_get_double (first));

  return TRUE;
}
