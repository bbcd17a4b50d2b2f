// Message boxes through a notifier: logged to standard error and a log file,
// answered by a handler or with the default button.
#include "platform/ui/msgbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/debuglog.h"
#include "platform/base/fdutil.h"
#include "platform/ui/window.h"

namespace kv::ui {
namespace {

struct Notifier {
  std::mutex mu;
  MessageBoxHandler handler;
};

Notifier& N() {
  static Notifier* n = new Notifier;
  return *n;
}

// The buttons of a box type, in order; an unknown type counts as OK only.
std::vector<int32_t> Buttons(uint32_t type) {
  switch (type & 0xFu) {
    case MbOkCancel:
      return {IdOk, IdCancel};
    case MbAbortRetryIgnore:
      return {IdAbort, IdRetry, IdIgnore};
    case MbYesNoCancel:
      return {IdYes, IdNo, IdCancel};
    case MbYesNo:
      return {IdYes, IdNo};
    case MbRetryCancel:
      return {IdRetry, IdCancel};
    default:
      return {IdOk};
  }
}

const char* AnswerName(int32_t id) {
  switch (id) {
    case IdOk: return "OK";
    case IdCancel: return "Cancel";
    case IdAbort: return "Abort";
    case IdRetry: return "Retry";
    case IdIgnore: return "Ignore";
    case IdYes: return "Yes";
    case IdNo: return "No";
    default: return "?";
  }
}

// One line per box; line breaks inside the text are shown as "\n" so that a
// box stays one line of the log.
std::string LogLine(const MessageBoxInfo& info) {
  auto flat = [](const std::string& s) {
    std::string out;
    for (char c : s) {
      if (c == '\r') continue;
      if (c == '\n') {
        out += "\\n";
      } else {
        out += c;
      }
    }
    return out;
  };
  char head[64];
  std::snprintf(head, sizeof head, "[message box type 0x%x] ", static_cast<unsigned>(info.type));
  return std::string(head) + flat(info.caption) + ": " + flat(info.text);
}

void Notify(const std::string& line) {
  const std::string text = line + "\n";
  WriteAllFd(2, text.data(), text.size());
  const char* path = std::getenv("KV_MSGBOX_LOG");
  if (path && *path) {
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd >= 0) {
      WriteAllFd(fd, text.data(), text.size());  // one append per line: lines of threads do not mix
      ::close(fd);
    }
  } else {
    DebugOutput(line);
  }
}

}  // namespace

int32_t MessageBoxDefaultAnswer(uint32_t type) {
  std::vector<int32_t> buttons = Buttons(type);
  size_t index = (type >> 8) & 0xFu;
  return index < buttons.size() ? buttons[index] : buttons[0];
}

int32_t MessageBox(KvWindow owner, const char* text, const char* caption, uint32_t type) {
  MessageBoxInfo info;
  info.owner = owner;
  info.text = text ? text : "";
  info.caption = caption ? caption : "Error";
  info.type = type;
  info.default_answer = MessageBoxDefaultAnswer(type);
  Notify(LogLine(info));
  MessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(N().mu);
    handler = N().handler;
  }
  int32_t answer = info.default_answer;
  if (handler) {
    int32_t chosen = handler(info);
    for (int32_t b : Buttons(type)) {
      if (b == chosen) answer = chosen;
    }
  }
  if (answer != info.default_answer || Buttons(type).size() > 1) {
    Notify(std::string("[message box answer] ") + AnswerName(answer));
  }
  return answer;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
  std::lock_guard<std::mutex> lock(N().mu);
  std::swap(N().handler, handler);
  return handler;
}

}  // namespace kv::ui
