#include "platform/ftp4w32/ftpreply.h"

#include <cstring>

namespace kvftp {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "ddd" at the start of the line with a valid first digit; its value.
int LineCode(const std::string& line) {
  if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return -1;
  if (line[0] < '1' || line[0] > '5') return -1;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// Reads a decimal number of at most 18 digits; -1 when there is none.
int64_t ReadNumber(std::string_view s, size_t* pos) {
  size_t i = *pos;
  int64_t v = 0;
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) {
    if (++digits > 18) return -1;
    v = v * 10 + (s[i] - '0');
    ++i;
  }
  if (digits == 0) return -1;
  *pos = i;
  return v;
}

}  // namespace

void ReplyReader::Feed(const char* data, size_t size) {
  if (failed_ || data == nullptr) return;
  pending_.append(data, size);
}

void ReplyReader::Reset() {
  pending_.clear();
  scan_ = 0;
  inReply_ = false;
  current_ = Reply();
  lines_ = 0;
  failed_ = false;
}

bool ReplyReader::TakeLine(std::string* line, bool* error) {
  *error = false;
  const size_t nl = pending_.find('\n', scan_);
  if (nl == std::string::npos) {
    scan_ = pending_.size();
    if (pending_.size() > kMaxLine + 1) *error = true;
    return false;
  }
  size_t end = nl;
  if (end > 0 && pending_[end - 1] == '\r') --end;
  if (end > kMaxLine) {
    *error = true;
    return false;
  }
  line->assign(pending_, 0, end);
  pending_.erase(0, nl + 1);
  scan_ = 0;
  return true;
}

ReplyReader::Status ReplyReader::Next(Reply* reply) {
  if (failed_) return Status::kError;
  std::string line;
  for (;;) {
    bool error = false;
    if (!TakeLine(&line, &error)) {
      if (error) failed_ = true;
      return failed_ ? Status::kError : Status::kNeedMore;
    }
    const int code = LineCode(line);
    if (!inReply_) {
      if (code < 0 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
        failed_ = true;
        return Status::kError;
      }
      current_ = Reply();
      current_.code = code;
      current_.text = line.size() > 4 ? line.substr(4) : std::string();
      lines_ = 1;
      if (line.size() > 3 && line[3] == '-') {
        inReply_ = true;
        continue;
      }
      *reply = std::move(current_);
      current_ = Reply();
      return Status::kReply;
    }
    // Inside a multi-line reply: it ends at "ddd " (or a bare "ddd") with
    // the same code; any other line is part of its text.
    if (++lines_ > kMaxLines || current_.text.size() + line.size() + 1 > kMaxReply) {
      failed_ = true;
      return Status::kError;
    }
    const bool last = code == current_.code && (line.size() == 3 || line[3] == ' ');
    current_.text += '\n';
    current_.text += last ? (line.size() > 4 ? line.substr(4) : std::string()) : line;
    if (last) {
      inReply_ = false;
      *reply = std::move(current_);
      current_ = Reply();
      return Status::kReply;
    }
  }
}

bool ParsePassiveReply(std::string_view text, uint32_t* address, uint16_t* port) {
  // The first place where six comma-separated numbers follow each other.
  for (size_t start = 0; start < text.size(); ++start) {
    if (!IsDigit(text[start]) || (start > 0 && IsDigit(text[start - 1]))) continue;
    size_t pos = start;
    int64_t v[6];
    bool ok = true;
    for (int k = 0; k < 6 && ok; ++k) {
      v[k] = ReadNumber(text, &pos);
      if (v[k] < 0 || v[k] > 255) ok = false;
      if (ok && k < 5) {
        if (pos < text.size() && text[pos] == ',') ++pos;
        else ok = false;
      }
    }
    if (!ok) continue;
    const uint8_t bytes[4] = {static_cast<uint8_t>(v[0]), static_cast<uint8_t>(v[1]), static_cast<uint8_t>(v[2]),
                              static_cast<uint8_t>(v[3])};
    std::memcpy(address, bytes, 4);
    *port = static_cast<uint16_t>(v[4] * 256 + v[5]);
    return true;
  }
  return false;
}

bool ParsePwdReply(std::string_view text, std::string* folder) {
  const size_t open = text.find('"');
  if (open == std::string_view::npos) return false;
  std::string out;
  for (size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] == '"') {
      if (i + 1 < text.size() && text[i + 1] == '"') {
        out += '"';
        ++i;
        continue;
      }
      *folder = std::move(out);
      return true;
    }
    if (text[i] == '\n') return false;
    out += text[i];
  }
  return false;
}

int64_t ParseTransferSize(std::string_view text) {
  size_t pos = 0;
  while ((pos = text.find('(', pos)) != std::string_view::npos) {
    size_t p = pos + 1;
    const int64_t v = ReadNumber(text, &p);
    if (v >= 0 && text.substr(p, 6) == " bytes") return v;
    ++pos;
  }
  return -1;
}

int64_t ParseSizeReply(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  const int64_t v = ReadNumber(text, &pos);
  if (v < 0) return -1;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\r')) ++pos;
  return pos == text.size() ? v : -1;
}

}  // namespace kvftp
