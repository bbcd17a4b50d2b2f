// Reading FTP server replies from the control connection, and the few reply
// texts the client takes values from. Everything a server sends is outside
// input: lines and replies are bounded, and anything that is not a reply
// ("ddd text", "ddd-..." up to "ddd text") is an error, never a guess.
#ifndef KV_PLATFORM_FTP4W32_FTPREPLY_H
#define KV_PLATFORM_FTP4W32_FTPREPLY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvftp {

struct Reply {
  int code = 0;      // 100..599
  std::string text;  // the text after the code of every line, lines joined by "\n"
};

class ReplyReader {
 public:
  static constexpr size_t kMaxLine = 2048;      // one line, without its end
  static constexpr size_t kMaxReply = 64 * 1024;  // all lines of one reply
  static constexpr size_t kMaxLines = 1000;

  enum class Status { kNeedMore, kReply, kError };

  // Adds bytes received from the server.
  void Feed(const char* data, size_t size);
  // Takes the next complete reply out of the bytes fed so far. kError means
  // the stream held something that is not a reply (a line without a code, an
  // overlong line or reply); the reader then stays in error.
  Status Next(Reply* reply);
  // Forgets everything (a new connection).
  void Reset();

 private:
  // Takes one line (without CR/LF) from pending_; false when none is complete.
  bool TakeLine(std::string* line, bool* error);

  std::string pending_;
  size_t scan_ = 0;  // bytes of pending_ already known to hold no line end
  bool inReply_ = false;
  Reply current_;
  size_t lines_ = 0;
  bool failed_ = false;
};

// The address and port of a 227 reply "... (h1,h2,h3,h4,p1,p2)". The
// address comes back in network order. False when the text holds no such
// group of six numbers 0..255.
bool ParsePassiveReply(std::string_view text, uint32_t* address, uint16_t* port);

// The folder of a 257 reply: the text between the first quote and its
// closing quote, with "" read as one quote. False when not quoted.
bool ParsePwdReply(std::string_view text, std::string* folder);

// The size a 150 reply announces as "(<n> bytes)"; -1 when it does not.
int64_t ParseTransferSize(std::string_view text);

// The value of a 213 reply to SIZE; -1 when it is not a decimal number.
int64_t ParseSizeReply(std::string_view text);

}  // namespace kvftp

#endif
