// Ostrel: the user-interface and utility library shared by the program, the
// engine, the plug-ins and the small libraries. Plain C functions with the
// prefix KVUI_ and a few C++ classes (text, file, window objects).
//
// Every function checks its arguments; buffers are always given with their
// size, copies are cut to the buffer and terminated.
#ifndef KV_PLATFORM_OSTREL_OSTREL_H
#define KV_PLATFORM_OSTREL_OSTREL_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/kvtypes.h"

extern "C" {

// ---- memory ---------------------------------------------------------------
// A zero-filled block of `size` bytes (size 0 gives a valid 1-byte block), or
// null when it cannot be had.
KV_EXPORT void* KVUI_MyAlloc(size_t size);
// Grows or shrinks the block, keeping its content (bytes added by growth are
// not initialised); null on failure, the old block then stays valid. A null
// block allocates.
KV_EXPORT void* KVUI_MyRealloc(void* block, size_t size);
// Frees a block of the allocators above (null is allowed).
KV_EXPORT void KVUI_MyFree(void* block);
// Frees *block and sets *block to null (null or *block null are allowed).
KV_EXPORT void KVUI_MyFree2(void** block);
// Unlocks (all locks) and frees a global-memory handle; false on a bad handle.
KV_EXPORT KvBool KVUI_UnlockAndFree(KvGlobal handle);

// ---- files and folders ----------------------------------------------------
// Reads a whole file into one block with a NUL after its last byte.
// With handle_out: the block is global memory, left locked, its handle stored
// in *handle_out (free it with KVUI_UnlockAndFree); lock and alloc_flags are
// accepted for the callers' sake (the block is always locked and zero-filled).
// Without handle_out: the block comes from KVUI_MyAlloc (free with KVUI_MyFree).
// *size_out (may be null) receives the file's size. Null when the file cannot
// be read (missing, a folder, too large for 32 bits); *handle_out is then 0.
KV_EXPORT char* KVUI_ReadEntireFile(const char* path, KvGlobal* handle_out, int32_t lock,
                                    uint32_t alloc_flags, int32_t* size_out);

// The folder in which a module keeps its data: the folder of the module's file
// (null module: the module that calls this function), without a final
// separator. Returns the length copied; 0 on failure (nothing copied but a NUL
// when size > 0). A folder that does not fit is a failure, never cut.
KV_EXPORT int32_t KVUI_GetLocalDirectory(KvModule module, char* buffer, int32_t size);

// Joins folder and name with one "/" between them (none added when the folder
// is empty or already ends in "/" or "\"). Returns out, or null when the result
// does not fit (out then holds "").
KV_EXPORT char* KVUI_ConstructFullFilename(char* out, int32_t out_size, const char* folder,
                                           const char* name);

// ---- passwords ------------------------------------------------------------
// A password (at most KVUI_MAX_PASSWORD characters) becomes a text of
// upper-case hexadecimal digits, two per character, safe in a settings file;
// decrypting gives the password back, for every byte value. Both return 1 on
// success; 0 (and out = "" when out_size > 0) when the input is too long,
// out is too small, or (decrypting) the text is not such a form.
#define KVUI_MAX_PASSWORD 255
KV_EXPORT KvBool KVUI_EncryptPassword(const char* password, char* out, int32_t out_size);
KV_EXPORT KvBool KVUI_DecryptPassword(const char* text, char* out, int32_t out_size);

// ---- scheduler log --------------------------------------------------------
// The path of the shared scheduler log: "SCHEDULE.LOG" in the folder of this
// library (env KV_SCHEDULE_LOG overrides it). Returns the length; 0 when it
// does not fit.
KV_EXPORT int32_t KVUI_GetScheduleLogFilename(char* buffer, int32_t size);
// Makes sure the log at path exists and can be appended to (null or "": the
// shared scheduler log). 1 on success.
KV_EXPORT KvBool KVUI_CreateSchedulerLogFile(const char* path);

// ---- messages and resources -----------------------------------------------
// Handles the messages that wait in the calling thread's queue (dispatching
// them, at most 10000 per call; a Quit is put back for the thread's own loop)
// and returns without blocking. Returns 1 when a Quit is pending, else 0.
KV_EXPORT KvBool KVUI_MyPeekMessage(void);

// The text of string resource `id` of the calling module ("" when missing).
// The pointer stays valid for the life of the process.
KV_EXPORT const char* KVUI_GetString(uint32_t id);
// The same for a given module (null: the calling module).
KV_EXPORT const char* KVUI_GetModuleString(KvModule module, uint32_t id);

// A string value of the registry stand-in: key (for example
// "HKEY_LOCAL_MACHINE\SOFTWARE\...") and value name. Copies the value (cut to
// size-1 characters, terminated) and returns 1; 0 when missing.
KV_EXPORT KvBool KVUI_FindRegistryStringData(const char* key, const char* name, char* buffer,
                                             int32_t size);

// Kept for callers: nothing is shown here, so these change nothing visible.
// They return 1 for a live window (GetBoldFaceFont: a non-zero token), else 0.
KV_EXPORT KvBool KVUI_CenterDialog(KvWindow window);
KV_EXPORT intptr_t KVUI_GetBoldFaceFont(KvWindow window);
KV_EXPORT KvBool KVUI_SubclassFancyBitmap(KvWindow window);
KV_EXPORT KvBool KVUI_UnsubclassWindow(KvWindow window);

}  // extern "C"

// ---- classes ----------------------------------------------------------------

// A growable owned text. Never null: an empty text converts to "".
class KV_EXPORT CString {
 public:
  CString();
  CString(const char* text);  // null is ""
  CString(const char* text, int32_t length);
  CString(const CString& other);
  CString(CString&& other) noexcept;
  ~CString();

  CString& operator=(const CString& other);
  CString& operator=(CString&& other) noexcept;
  CString& operator=(const char* text);
  CString& operator+=(const CString& other);
  CString& operator+=(const char* text);
  CString& operator+=(char c);

  friend KV_EXPORT CString operator+(const CString& a, const CString& b);
  friend KV_EXPORT CString operator+(const CString& a, const char* b);
  friend KV_EXPORT CString operator+(const char* a, const CString& b);
  friend KV_EXPORT bool operator==(const CString& a, const char* b);
  friend KV_EXPORT bool operator==(const CString& a, const CString& b);

  operator const char*() const;
  const char* GetString() const;
  int32_t GetLength() const;
  bool IsEmpty() const;
  void Empty();

  // printf-style; the text is built at whatever length it needs. An invalid
  // format (the formatter reports an error) leaves the text empty and returns
  // false.
  bool Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool FormatV(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

  // Index of the first occurrence at or after start, or -1 (a null or empty
  // needle, or start outside the text, gives -1).
  int32_t Find(const char* needle, int32_t start = 0) const;
  int32_t Find(char c, int32_t start = 0) const;
  // The same, ignoring ASCII case.
  int32_t FindNoCase(const char* needle, int32_t start = 0) const;

  // The text of string resource `id` of a module (null: the calling module).
  // False (text empty) when it has none.
  bool LoadString(uint32_t id, KvModule module = nullptr);

 private:
  std::string text_;
};

// A file through the platform's file functions. The destructor closes it.
class KV_EXPORT CFile {
 public:
  // Open flags: one access mode, optionally create / keep content; the share
  // flags are accepted and ignored (files are always shared here).
  enum : uint32_t {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    shareCompat = 0x0000,
    shareExclusive = 0x0010,
    shareDenyWrite = 0x0020,
    shareDenyRead = 0x0030,
    shareDenyNone = 0x0040,
    modeCreate = 0x1000,      // create, truncating an existing file...
    modeNoTruncate = 0x2000,  // ...unless this is given too
  };

  CFile();
  ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens (closing a file this object held). False on failure.
  bool Open(const char* path, uint32_t flags);
  // Reads up to count bytes; returns the number read (0 at end or on error).
  uint32_t Read(void* buffer, uint32_t count);
  // Writes all count bytes; false on failure or a short write.
  bool Write(const void* buffer, uint32_t count);
  // Size in bytes; -1 when no file is open.
  int64_t GetLength() const;
  void Close();
  bool IsOpen() const;

 private:
  KvFile file_;
};

// Shows the busy cursor while it lives; nothing to show here.
class KV_EXPORT CWaitCursor {
 public:
  CWaitCursor();
  ~CWaitCursor();
  void Restore();
};

// A window object: a window of the platform whose messages are routed to the
// virtual operations below. Each handler's default does what the window would
// do without it (Default(): the platform's default procedure), except OnSize,
// whose default calls Layout.
class KV_EXPORT CWindow {
 public:
  CWindow();
  CWindow(const CWindow&) = delete;
  CWindow& operator=(const CWindow&) = delete;

  // The virtual operations, in this order.
  virtual ~CWindow();  // destroys the window when it still exists
  virtual void Layout();
  virtual void GetPreferedLayoutSize(int32_t* width, int32_t* height);
  virtual KvResult OnCommand(uint32_t id, uint32_t code, KvWindow control);
  virtual KvResult OnSysCommand(KvWParam command, KvLParam lparam);
  virtual KvResult OnDestroy();
  virtual KvResult OnClose();
  virtual KvResult OnSize(uint32_t type, int32_t width, int32_t height);
  virtual KvResult OnContextMenu(KvWindow window, int32_t x, int32_t y);
  virtual KvResult OnLButtonDown(uint32_t flags, int32_t x, int32_t y);
  virtual KvResult OnLButtonUp(uint32_t flags, int32_t x, int32_t y);
  virtual KvResult OnLButtonDblClk(uint32_t flags, int32_t x, int32_t y);
  virtual KvResult OnRButtonDown(uint32_t flags, int32_t x, int32_t y);
  virtual KvResult OnRButtonUp(uint32_t flags, int32_t x, int32_t y);
  virtual KvResult OnMouseMove(uint32_t flags, int32_t x, int32_t y);
  virtual KvResult OnTimer(uintptr_t id);
  virtual KvResult OnPaint();
  virtual KvResult OnNotify(uint32_t id, KvLParam info);
  virtual KvResult OnMove(int32_t x, int32_t y);
  virtual KvResult OnWindowPosChanged(KvLParam info);
  // Every message that has no handler of its own.
  virtual KvResult OnMessage(uint32_t message, KvWParam wparam, KvLParam lparam);
  virtual KvResult OnEraseBackground(KvWParam context);
  virtual KvResult OnHorzScroll(uint32_t code, int32_t position, KvWindow control);
  virtual KvResult OnVertScroll(uint32_t code, int32_t position, KvWindow control);

  // Creates the window (class "KVUI_Window", registered on first use) and
  // attaches this object to it. False when it already has one or creation
  // fails.
  bool Create(const char* title, uint32_t style, KvWindow parent);
  // Destroys the window (OnDestroy runs); the object stays usable.
  bool Destroy();
  KvWindow GetHandle() const { return window_; }
  // The object attached to a window, or null.
  static CWindow* FromHandle(KvWindow window);

 protected:
  // The platform's default handling of the message being routed.
  KvResult Default();

 private:
  static KvResult Route(KvWindow window, uint32_t message, KvWParam wparam, KvLParam lparam);
  KvResult Dispatch(uint32_t message, KvWParam wparam, KvLParam lparam);

  KvWindow window_ = 0;
  struct Current {
    uint32_t message;
    KvWParam wparam;
    KvLParam lparam;
  } current_{};
};

// A button that draws a bitmap; a click (left button up) sends
// Command(id, 0) to the parent, as a button does.
class KV_EXPORT CBitmapButton : public CWindow {
 public:
  bool Create(KvWindow parent, uint32_t id, const char* text);
  uint32_t GetId() const { return id_; }
  virtual void Draw();
  int32_t GetDrawCount() const { return draws_; }
  KvResult OnPaint() override;
  KvResult OnLButtonUp(uint32_t flags, int32_t x, int32_t y) override;

 private:
  uint32_t id_ = 0;
  int32_t draws_ = 0;
};

// A tool bar: a row of command buttons; pressing one sends Command(id, 0) to
// the parent.
class KV_EXPORT CToolbar : public CWindow {
 public:
  bool Create(KvWindow parent);
  bool AddButton(uint32_t id);
  int32_t GetButtonCount() const;
  bool PressButton(uint32_t id);
  virtual void Draw();
  void GetPreferedLayoutSize(int32_t* width, int32_t* height) override;
  KvResult OnPaint() override;

 private:
  uint32_t ids_[64] = {};
  int32_t count_ = 0;
};

// A band holder for tool bars.
class KV_EXPORT CCoolbar : public CWindow {
 public:
  bool Create(KvWindow parent);
  void GetPreferedLayoutSize(int32_t* width, int32_t* height) override;
};

#endif
