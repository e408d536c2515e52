#include "card.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

/* The fields of a card identifier, as given: the card's number or id,
 * its device and its subdevice; NULL where not given. */
typedef struct
{
  const char *card;
  const char *device;
  const char *subdevice;
} CardFields;

/* Reads the parts of a card identifier into fields, which then point into
 * them, as ALSA's hw device reads them: CARD, DEV and SUBDEV in that
 * order, or each as KEY=VALUE. */
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

/* Reads text as ALSA reads a number: whole, in C's notation (10, 010 or
 * 0xa).  Returns -1 for text that is none, or negative. */
static long
number_in (const char *text)
{
  char *end;
  long number;

  if (text == NULL || *text == '\0' || !g_ascii_isdigit (*text))
    return -1;
  number = strtol (text, &end, 0);
  return *end == '\0' ? number : -1;
}

/* The folder of the capture device that fields names, or NULL. */
static gchar *
status_folder (const char *asound, const CardFields *fields)
{
  long card = number_in (fields->card);
  long device = MAX (number_in (fields->device), 0);

  if (fields->card == NULL || *fields->card == '\0')
    return NULL;
  /* /proc/asound has cardN, and a link to it by the card's id. */
  if (card >= 0)
    return g_strdup_printf ("%s/card%ld/pcm%ldc", asound, card, device);
  return g_strdup_printf ("%s/%s/pcm%ldc", asound, fields->card, device);
}

/* "process PID (NAME)", or "process PID" where its name cannot be read:
 * another user's process, in a sandbox that hides them.  The name is the
 * process's to set: escaped, so that it cannot make a line of its own. */
static gchar *
describe_process (long pid)
{
  gchar *path = g_strdup_printf ("/proc/%ld/comm", pid);
  gchar *name = NULL;
  gchar *description;

  if (g_file_get_contents (path, &name, NULL, NULL))
    {
      gchar *escaped;

      /* The kernel ends it with a newline of its own. */
      if (g_str_has_suffix (name, "\n"))
        name[strlen (name) - 1] = '\0';
      escaped = g_strescape (name, NULL);
      description = g_strdup_printf ("process %ld (%s)", pid, escaped);
      g_free (escaped);
    }
  else
    description = g_strdup_printf ("process %ld", pid);
  g_free (name);
  g_free (path);
  return description;
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

static gint
compare_pids (gconstpointer a, gconstpointer b)
{
  long first = *(const long *) a, second = *(const long *) b;

  return (first > second) - (first < second);
}

/* The other processes that hold the substreams in folder that are named,
 * or all of them, in order. */
static GArray *
substream_owners (const char *folder, long subdevice)
{
  GArray *owners = g_array_new (FALSE, FALSE, sizeof (long));
  GDir *subs = g_dir_open (folder, 0, NULL);
  const char *sub;

  while (subs != NULL && (sub = g_dir_read_name (subs)) != NULL)
    {
      gchar *path = g_strdup_printf ("%s/%s/status", folder, sub);
      long owner;

      if (g_str_has_prefix (sub, "sub")
          && (subdevice < 0 || number_in (sub + 3) == subdevice)
          && (owner = status_owner (path)) > 0 && owner != getpid ())
        g_array_append_val (owners, owner);
      g_free (path);
    }
  if (subs != NULL)
    g_dir_close (subs);
  g_array_sort (owners, compare_pids);
  return owners;
}

/* Each owner once, described, joined by ", "; NULL for none. */
static gchar *
describe_owners (const GArray *owners)
{
  GString *holders = g_string_new (NULL);

  for (guint i = 0; i < owners->len; i++)
    {
      long owner = g_array_index (owners, long, i);
      gchar *holder;

      if (i > 0 && owner == g_array_index (owners, long, i - 1))
        continue;
      holder = describe_process (owner);
      g_string_append_printf (holders, "%s%s", holders->len > 0 ? ", " : "",
                              holder);
      g_free (holder);
    }
  return g_string_free (holders, holders->len == 0);
}

gchar *
capture_holders (const char *asound, const char *card)
{
  gchar **parts = g_strsplit (card, ",", 0);
  CardFields fields = {};
  gchar *folder;
  gchar *holders = NULL;

  split_card (parts, &fields);
  folder = status_folder (asound, &fields);
  if (folder != NULL)
    {
      GArray *owners = substream_owners (folder, number_in (fields.subdevice));

      holders = describe_owners (owners);
      g_array_free (owners, TRUE);
    }
  g_free (folder);
  g_strfreev (parts);
  return holders;
}
