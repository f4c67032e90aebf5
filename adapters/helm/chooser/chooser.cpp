// SPDX-License-Identifier: Apache-2.0
// chooser.cpp -- kestrovan-helm-chooser, the adapter's own dialog for what
// pinentry cannot show: a list to choose one certificate from, and a list of
// documents to sign with one PIN, with the signing's progress and a way to
// stop it.
//
// The adapter starts it as it starts pinentry (a session of its own, no
// signal blocked, one dialog at a time) and speaks to it in lines:
//   stdin   "<key> <value>" lines, every value percent-escaped ("%", CR,
//           LF, TAB and every byte below 0x20 as %XX), ended by "show":
//             title, heading, site, note (a line under the list), ok,
//             cancel (labels, "_" marks the mnemonic), timeout (seconds),
//             pin (the prompt: a PIN entry is shown), empty (shown when no
//             row is given), row (fields separated by raw TABs: the first
//             is the row's headline, the others its lines);
//           after a PIN was sent: "error <text>" (asks again), "progress
//           <text>", "done".
//   stdout  "CHOSEN <index>", "PIN <escaped PIN>", "CANCELLED" or "TIMEOUT".
// Nothing on stdin is markup: every text is shown as plain text. During the
// first second the dialog takes no answer (a keystroke meant for another
// window must not choose).
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Request {
  std::string title, heading, site, note, ok = "_OK", cancel = "_Cancel", pin, empty;
  unsigned timeout = 60;
  std::vector<std::vector<std::string>> rows;
};

struct Chooser {
  Request request;
  GtkWidget* window = nullptr;
  GtkWidget* list = nullptr;
  GtkWidget* entry = nullptr;
  GtkWidget* error = nullptr;
  GtkWidget* ok = nullptr;
  GtkWidget* cancel = nullptr;
  bool armed = false;      // the first second has passed
  bool signing = false;    // a PIN was sent: progress lines follow
  bool answered = false;
  GIOChannel* input = nullptr;
  guint timer = 0;         // the dialog's timeout, stopped once signing starts
};

Chooser chooser;

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit((unsigned char)text[i + 1]) &&
        isxdigit((unsigned char)text[i + 2])) {
      out.push_back((char)strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string escape(const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; p++) {
    if (*p == '%' || *p < 0x20) {
      out.push_back('%');
      out.push_back(kHex[*p >> 4]);
      out.push_back(kHex[*p & 15]);
    } else {
      out.push_back((char)*p);
    }
  }
  return out;
}

// A line of text shown as it is: valid UTF-8 only (GTK refuses the rest).
std::string valid(const std::string& text) {
  const char* end = nullptr;
  if (g_utf8_validate(text.c_str(), (gssize)text.size(), &end)) return text;
  return text.substr(0, (size_t)(end - text.c_str())) + "\xef\xbf\xbd";
}

void answer(const std::string& line) {
  if (chooser.answered) return;
  chooser.answered = true;
  std::string out = line + "\n";
  if (write(1, out.data(), out.size()) < 0) {
  }
  gtk_main_quit();
}

void cancelled() { answer("CANCELLED"); }

gboolean arm(gpointer) {
  chooser.armed = true;
  gtk_widget_set_sensitive(chooser.cancel, TRUE);
  gtk_widget_set_sensitive(chooser.ok, !chooser.request.rows.empty() || !chooser.request.pin.empty());
  return G_SOURCE_REMOVE;
}

gboolean timedOut(gpointer) {
  chooser.timer = 0;
  answer("TIMEOUT");
  return G_SOURCE_REMOVE;
}

void choose() {
  if (!chooser.armed || chooser.signing) return;
  if (chooser.entry != nullptr) {
    const char* pin = gtk_entry_get_text(GTK_ENTRY(chooser.entry));
    std::string line = "PIN " + escape(pin);
    if (write(1, (line + "\n").data(), line.size() + 1) < 0) {
    }
    std::string wipe(strlen(pin), '\0');
    gtk_entry_set_text(GTK_ENTRY(chooser.entry), wipe.c_str());
    gtk_entry_set_text(GTK_ENTRY(chooser.entry), "");
    chooser.signing = true;
    if (chooser.timer != 0) g_source_remove(chooser.timer);
    chooser.timer = 0;
    gtk_widget_set_sensitive(chooser.ok, FALSE);
    gtk_widget_set_sensitive(chooser.entry, FALSE);
    gtk_label_set_text(GTK_LABEL(chooser.error), "");
    return;
  }
  GtkListBoxRow* row = gtk_list_box_get_selected_row(GTK_LIST_BOX(chooser.list));
  if (row == nullptr) return;
  answer("CHOSEN " + std::to_string(gtk_list_box_row_get_index(row)));
}

void onOk(GtkButton*, gpointer) { choose(); }
void onCancel(GtkButton*, gpointer) {
  if (chooser.armed) cancelled();
}
void onRowActivated(GtkListBox*, GtkListBoxRow*, gpointer) {
  if (chooser.entry == nullptr) choose();
}
gboolean onDelete(GtkWidget*, GdkEvent*, gpointer) {
  cancelled();
  return TRUE;
}
gboolean onKey(GtkWidget*, GdkEventKey* event, gpointer) {
  if (event->keyval == GDK_KEY_Escape) {
    cancelled();
    return TRUE;
  }
  return FALSE;
}

// Lines from the adapter while the documents are signed.
gboolean onInput(GIOChannel* channel, GIOCondition condition, gpointer) {
  gchar* text = nullptr;
  gsize length = 0;
  GIOStatus status = (condition & G_IO_IN) ? g_io_channel_read_line(channel, &text, &length, nullptr, nullptr)
                                           : G_IO_STATUS_EOF;
  if (status != G_IO_STATUS_NORMAL) {
    g_free(text);
    if (status == G_IO_STATUS_AGAIN) return TRUE;
    // The adapter went away: nothing more to show.
    chooser.answered = true;
    gtk_main_quit();
    return FALSE;
  }
  std::string line(text, length);
  g_free(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  size_t space = line.find(' ');
  std::string key = line.substr(0, space);
  std::string value = space == std::string::npos ? "" : valid(unescape(line.substr(space + 1)));
  if (key == "progress") {
    gtk_label_set_text(GTK_LABEL(chooser.error), value.c_str());
  } else if (key == "error" && chooser.entry != nullptr) {
    chooser.signing = false;
    unsigned timeout = chooser.request.timeout < 5 ? 5 : chooser.request.timeout > 600 ? 600 : chooser.request.timeout;
    chooser.timer = g_timeout_add_seconds(timeout, timedOut, nullptr);
    gtk_label_set_text(GTK_LABEL(chooser.error), value.c_str());
    gtk_widget_set_sensitive(chooser.entry, TRUE);
    gtk_widget_set_sensitive(chooser.ok, TRUE);
    gtk_widget_grab_focus(chooser.entry);
  } else if (key == "done") {
    chooser.answered = true;
    gtk_main_quit();
    return FALSE;
  }
  return TRUE;
}

bool readRequest(Request* request) {
  char* line = nullptr;
  size_t size = 0;
  ssize_t length;
  bool shown = false;
  // Read with stdio up to "show" only; later lines go through the GLib
  // channel, so stdio must not buffer past it.
  setvbuf(stdin, nullptr, _IONBF, 0);
  while ((length = getline(&line, &size, stdin)) > 0) {
    std::string text(line, (size_t)length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t space = text.find(' ');
    std::string key = text.substr(0, space);
    std::string raw = space == std::string::npos ? "" : text.substr(space + 1);
    if (key == "show") {
      shown = true;
      break;
    }
    if (key == "row") {
      std::vector<std::string> fields;
      size_t at = 0;
      while (true) {
        size_t tab = raw.find('\t', at);
        fields.push_back(valid(unescape(raw.substr(at, tab == std::string::npos ? std::string::npos : tab - at))));
        if (tab == std::string::npos) break;
        at = tab + 1;
      }
      if (request->rows.size() < 1000) request->rows.push_back(fields);
      continue;
    }
    std::string value = valid(unescape(raw));
    if (key == "title") request->title = value;
    else if (key == "heading") request->heading = value;
    else if (key == "site") request->site = value;
    else if (key == "note") request->note = value;
    else if (key == "ok") request->ok = value;
    else if (key == "cancel") request->cancel = value;
    else if (key == "pin") request->pin = value;
    else if (key == "empty") request->empty = value;
    else if (key == "timeout") request->timeout = (unsigned)strtoul(value.c_str(), nullptr, 10);
  }
  free(line);
  return shown;
}

GtkWidget* plainLabel(const std::string& text, bool wrap) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_text(GTK_LABEL(label), text.c_str());   // never markup
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_line_wrap(GTK_LABEL(label), wrap);
  gtk_label_set_selectable(GTK_LABEL(label), FALSE);
  return label;
}

void setAccessibleName(GtkWidget* widget, const std::string& name) {
  AtkObject* accessible = gtk_widget_get_accessible(widget);
  if (accessible != nullptr) atk_object_set_name(accessible, name.c_str());
}

GtkWidget* rowFor(const std::vector<std::string>& fields) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
  gtk_widget_set_margin_start(box, 8);
  gtk_widget_set_margin_end(box, 8);
  gtk_widget_set_margin_top(box, 6);
  gtk_widget_set_margin_bottom(box, 6);
  std::string spoken;
  for (size_t i = 0; i < fields.size(); i++) {
    GtkWidget* label = plainLabel(fields[i], true);
    if (i == 0) {
      PangoAttrList* bold = pango_attr_list_new();
      pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
      gtk_label_set_attributes(GTK_LABEL(label), bold);
      pango_attr_list_unref(bold);
    }
    gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
    if (!spoken.empty()) spoken += "; ";
    spoken += fields[i];
  }
  GtkWidget* row = gtk_list_box_row_new();
  gtk_container_add(GTK_CONTAINER(row), box);
  setAccessibleName(row, spoken);
  return row;
}

void build() {
  const Request& r = chooser.request;
  chooser.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(chooser.window), r.title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(chooser.window), 620, 460);
  gtk_window_set_position(GTK_WINDOW(chooser.window), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(chooser.window), TRUE);
  g_signal_connect(chooser.window, "delete-event", G_CALLBACK(onDelete), nullptr);
  g_signal_connect(chooser.window, "key-press-event", G_CALLBACK(onKey), nullptr);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_container_set_border_width(GTK_CONTAINER(box), 12);
  gtk_container_add(GTK_CONTAINER(chooser.window), box);
  GtkWidget* site = plainLabel(r.site, true);
  PangoAttrList* large = pango_attr_list_new();
  pango_attr_list_insert(large, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  pango_attr_list_insert(large, pango_attr_scale_new(1.2));
  gtk_label_set_attributes(GTK_LABEL(site), large);
  pango_attr_list_unref(large);
  gtk_box_pack_start(GTK_BOX(box), site, FALSE, FALSE, 0);
  GtkWidget* heading = plainLabel(r.heading, true);
  gtk_box_pack_start(GTK_BOX(box), heading, FALSE, FALSE, 0);

  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scroller), GTK_SHADOW_IN);
  chooser.list = gtk_list_box_new();
  setAccessibleName(chooser.list, r.heading);
  gtk_list_box_set_selection_mode(GTK_LIST_BOX(chooser.list),
                                  r.pin.empty() ? GTK_SELECTION_BROWSE : GTK_SELECTION_NONE);
  gtk_list_box_set_activate_on_single_click(GTK_LIST_BOX(chooser.list), FALSE);
  g_signal_connect(chooser.list, "row-activated", G_CALLBACK(onRowActivated), nullptr);
  for (const auto& fields : r.rows) gtk_container_add(GTK_CONTAINER(chooser.list), rowFor(fields));
  if (r.rows.empty()) {
    GtkWidget* none = plainLabel(r.empty, true);
    gtk_list_box_set_placeholder(GTK_LIST_BOX(chooser.list), none);
    gtk_widget_show(none);
  }
  gtk_container_add(GTK_CONTAINER(scroller), chooser.list);
  gtk_box_pack_start(GTK_BOX(box), scroller, TRUE, TRUE, 0);
  if (!r.note.empty()) gtk_box_pack_start(GTK_BOX(box), plainLabel(r.note, true), FALSE, FALSE, 0);

  if (!r.pin.empty()) {
    GtkWidget* line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    GtkWidget* prompt = gtk_label_new_with_mnemonic(r.pin.c_str());
    chooser.entry = gtk_entry_new();
    gtk_entry_set_visibility(GTK_ENTRY(chooser.entry), FALSE);
    gtk_entry_set_input_purpose(GTK_ENTRY(chooser.entry), GTK_INPUT_PURPOSE_PIN);
    gtk_entry_set_activates_default(GTK_ENTRY(chooser.entry), TRUE);
    gtk_label_set_mnemonic_widget(GTK_LABEL(prompt), chooser.entry);
    setAccessibleName(chooser.entry, r.pin);
    gtk_box_pack_start(GTK_BOX(line), prompt, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(line), chooser.entry, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), line, FALSE, FALSE, 0);
  }
  chooser.error = plainLabel("", true);
  gtk_box_pack_start(GTK_BOX(box), chooser.error, FALSE, FALSE, 0);

  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(buttons), 8);
  chooser.cancel = gtk_button_new_with_mnemonic(r.cancel.c_str());
  chooser.ok = gtk_button_new_with_mnemonic(r.ok.c_str());
  std::string cancelName = r.cancel, okName = r.ok;
  for (std::string* name : {&cancelName, &okName}) {
    size_t mark = name->find('_');
    if (mark != std::string::npos) name->erase(mark, 1);
  }
  setAccessibleName(chooser.cancel, cancelName);
  setAccessibleName(chooser.ok, okName);
  gtk_widget_set_can_default(chooser.ok, TRUE);
  gtk_widget_set_sensitive(chooser.ok, FALSE);
  gtk_widget_set_sensitive(chooser.cancel, FALSE);
  g_signal_connect(chooser.ok, "clicked", G_CALLBACK(onOk), nullptr);
  g_signal_connect(chooser.cancel, "clicked", G_CALLBACK(onCancel), nullptr);
  gtk_container_add(GTK_CONTAINER(buttons), chooser.cancel);
  gtk_container_add(GTK_CONTAINER(buttons), chooser.ok);
  gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
  gtk_window_set_default(GTK_WINDOW(chooser.window), chooser.ok);

  gtk_widget_show_all(chooser.window);
  if (chooser.entry != nullptr) {
    gtk_widget_grab_focus(chooser.entry);
  } else {
    GtkListBoxRow* first = gtk_list_box_get_row_at_index(GTK_LIST_BOX(chooser.list), 0);
    if (first != nullptr) {
      gtk_list_box_select_row(GTK_LIST_BOX(chooser.list), first);
      gtk_widget_grab_focus(GTK_WIDGET(first));
    }
  }
  gtk_window_present(GTK_WINDOW(chooser.window));
}

}  // namespace

int main(int argc, char** argv) {
  if (!readRequest(&chooser.request)) return 2;
  if (!gtk_init_check(&argc, &argv)) {
    fputs("NODISPLAY\n", stdout);
    return 3;
  }
  build();
  g_timeout_add(1000, arm, nullptr);
  unsigned timeout = chooser.request.timeout < 5 ? 5 : chooser.request.timeout > 600 ? 600 : chooser.request.timeout;
  chooser.timer = g_timeout_add_seconds(timeout, timedOut, nullptr);
  chooser.input = g_io_channel_unix_new(0);
  g_io_channel_set_encoding(chooser.input, nullptr, nullptr);
  g_io_add_watch(chooser.input, (GIOCondition)(G_IO_IN | G_IO_HUP | G_IO_ERR), onInput, nullptr);
  gtk_main();
  return 0;
}
