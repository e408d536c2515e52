#include "card.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

/* Where a card identifier points: the card's folder under asound, named
 * by number or id, and its capture device and subdevice (-1: any). */
typedef struct
{
  const char *card;
  const char *device;
  const char *subdevice;
} CardFields;

/* Splits identifier, which fields points into, as ALSA's hw device reads
 * it: CARD, DEV and SUBDEV in that order, or each as KEY=VALUE. */
static void
split_card (gchar **parts, CardFields *fields)
{
  const char **positional[] = { &fields->card, &fields->device,
                                &fields->subdevice };

  for (guint i = 0; parts[i] != NULL; i++)
    {
      char *value = strchr (parts[i], '=');

      if (value == NULL && i < G_N_ELEMENTS (positional))
        *positional[i] = parts[i];
      else if (value == NULL)
        continue;
      else if (g_str_has_prefix (parts[i], "CARD="))
        fields->card = value + 1;
      else if (g_str_has_prefix (parts[i], "DEV="))
        fields->device = value + 1;
      else if (g_str_has_prefix (parts[i], "SUBDEV="))
        fields->subdevice = value + 1;
    }
}

static gboolean
is_number (const char *text)
{
  if (text == NULL || *text == '\0')
    return FALSE;
  for (; *text != '\0'; text++)
    if (!g_ascii_isdigit (*text))
      return FALSE;
  return TRUE;
}

/* The folder of the capture device that fields names, or NULL. */
static gchar *
status_folder (const char *asound, const CardFields *fields)
{
  const char *device = is_number (fields->device) ? fields->device : "0";

  if (fields->card == NULL || *fields->card == '\0')
    return NULL;
  /* /proc/asound has cardN, and a link to it by the card's id. */
  return g_strdup_printf ("%s/%s%s/pcm%sc", asound,
                          is_number (fields->card) ? "card" : "",
                          fields->card, device);
}

/* The process that holds the substream whose status file is path, or 0:
 * the file says "closed" while no process does. */
static long
status_owner (const char *path)
{
  gchar *status = NULL;
  const char *field;
  long owner = 0;

  if (g_file_get_contents (path, &status, NULL, NULL)
      && (field = strstr (status, "owner_pid")) != NULL
      && (field = strchr (field, ':')) != NULL)
    owner = strtol (field + 1, NULL, 10);
  g_free (status);
  return owner;
}

/* "process PID (NAME)", or "process PID" where its name cannot be read:
 * another user's process, in a sandbox that hides them. */
static gchar *
describe_process (long pid)
{
  gchar *path = g_strdup_printf ("/proc/%ld/comm", pid);
  gchar *name = NULL;
  gchar *description;

  if (g_file_get_contents (path, &name, NULL, NULL))
    description = g_strdup_printf ("process %ld (%s)", pid, g_strchomp (name));
  else
    description = g_strdup_printf ("process %ld", pid);
  g_free (name);
  g_free (path);
  return description;
}

static gint
compare_pids (gconstpointer a, gconstpointer b)
{
  long first = *(const long *) a, second = *(const long *) b;

  return (first > second) - (first < second);
}

/* The other processes that hold the substreams in folder that are named,
 * or all of them, in order. */
static GArray *
substream_owners (const char *folder, const char *subdevice)
{
  GArray *owners = g_array_new (FALSE, FALSE, sizeof (long));
  GDir *subs = g_dir_open (folder, 0, NULL);
  const char *sub;

  while (subs != NULL && (sub = g_dir_read_name (subs)) != NULL)
    {
      gchar *path = g_strdup_printf ("%s/%s/status", folder, sub);
      long owner;

      if (g_str_has_prefix (sub, "sub")
          && (!is_number (subdevice) || strcmp (sub + 3, subdevice) == 0)
          && (owner = status_owner (path)) > 0 && owner != getpid ())
        g_array_append_val (owners, owner);
      g_free (path);
    }
  if (subs != NULL)
    g_dir_close (subs);
  g_array_sort (owners, compare_pids);
  return owners;
}

gchar *
capture_holders (const char *asound, const char *card)
{
  gchar **parts = g_strsplit (card, ",", 0);
  CardFields fields = {};
  gchar *folder;
  GString *holders = g_string_new (NULL);

  split_card (parts, &fields);
  folder = status_folder (asound, &fields);
  if (folder != NULL)
    {
      GArray *owners = substream_owners (folder, fields.subdevice);

      for (guint i = 0; i < owners->len; i++)
        {
          long owner = g_array_index (owners, long, i);
          gchar *holder;

          if (i > 0 && owner == g_array_index (owners, long, i - 1))
            continue;
          holder = describe_process (owner);
          g_string_append_printf (holders, "%s%s",
                                  holders->len > 0 ? ", " : "", holder);
          g_free (holder);
        }
      g_array_free (owners, TRUE);
    }
  g_free (folder);
  g_strfreev (parts);
  return g_string_free (holders, holders->len == 0);
}
