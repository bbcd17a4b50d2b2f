// The save-file dialog: a modal dialog that lets the user pick a folder and
// type or pick the name of a file to write.
//
// The dialog lists the folder's sub-folders (each ending in "/", with "../"
// first unless the folder is the root) and the files that match the chosen
// file type, offers the file types of the filter in a combo box and holds the
// file name in an edit field. Picking a listed file copies its name into the
// field. OK with a name that is a folder ("../" and names ending in "/"
// included) opens that folder; OK with any other name ends the dialog with
// the folder and the name joined (a name that starts with "/" or a drive
// letter is a path of its own). The file need not exist; its folder must.
// Nobody sees the dialog, so tests drive it through the dialog script hook
// with the control ids below.
#ifndef KV_PLATFORM_UI_FILE_DIALOG_H
#define KV_PLATFORM_UI_FILE_DIALOG_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/kvtypes.h"

namespace kv::ui {

namespace file_dialog_ids {
inline constexpr int32_t kFolder = 1088;  // the folder shown (static text)
inline constexpr int32_t kList = 1120;    // sub-folders and matching files
inline constexpr int32_t kTypes = 1136;   // file types of the filter
inline constexpr int32_t kName = 1152;    // the file name
}  // namespace file_dialog_ids

struct FileType {
  std::string description;            // "Hyper Text Markup"
  std::vector<std::string> patterns;  // "*.HTM"; matched ignoring case
};

// A filter as string tables hold it: description and pattern list, each
// ended by `separator`, the list ended by an empty entry
// ("Hyper Text Markup\x01*.HTM\x01\x01"). Patterns are separated by ";".
// A description without its pattern list is dropped.
std::vector<FileType> ParseFileFilter(const std::string& filter, char separator);

struct SaveFileRequest {
  std::string title;        // the dialog's caption
  std::vector<FileType> types;  // none: every file is listed
  // The file named so far. Its folder is where the dialog opens when that
  // folder exists (else `folder`, else the current folder); its name fills the
  // name field.
  std::string current;
  std::string folder;
};

// Runs the dialog. True with *chosen set to the native path of the file when
// the user ends it with a name; false when cancelled or closed (or when the
// dialog cannot be made), leaving *chosen unchanged.
bool GetSaveFileName(KvWindow owner, const SaveFileRequest& request, std::string* chosen);

}  // namespace kv::ui

#endif
