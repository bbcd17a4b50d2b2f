// The main program's settings file, KELVARON.INI in the program folder.
//
// Every accessor reads or writes the file through the platform's INI
// functions; nothing is cached, so a read sees the latest write, also one made
// by the engine library or a plug-in. Text values are cut to the buffer size
// their key has (the size includes the NUL, so a size of 40 keeps at most 39
// characters). Booleans are written "TRUE"/"FALSE" and read as true when the
// first character is 't', 'T' or '1'.
//
// The functions are meant for the program's user-interface thread.
#ifndef KV_SHELL_SETTINGS_FILE_H
#define KV_SHELL_SETTINGS_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// ---- program folder ---------------------------------------------------------

// Keeps the program file's path; its folder part is everything up to and
// including the last "\" or "/". Called once at start-up, before the first
// GetBaseIniPath / GetProgramDirectory. Without it the platform's program
// folder is used.
void StoreProgramPath(const char* programFile);

// The folder part of a program file's path, separator kept ("" when the path
// has no separator).
std::string ProgramFolderOf(std::string_view programFile);

// The path of KELVARON.INI: the program folder followed by "KELVARON.INI".
// Built on first use; later calls return the same text.
const char* GetBaseIniPath();

// The program folder with its trailing separator. Built on first use.
const char* GetProgramDirectory();

// ---- the shell's keys -------------------------------------------------------

struct SettingKey {
  const char* section;
  const char* key;
  const char* def;  // the value when the key is absent
  uint32_t size;    // buffer size of the value, NUL included
};

namespace settings {
inline constexpr SettingKey kUsername{"Defaults", "Username", "", 200};
inline constexpr SettingKey kPassword{"Defaults", "Password", "", 200};  // scrambled
inline constexpr SettingKey kProxyEnable{"Defaults", "ProxyEnable", "", 16};
inline constexpr SettingKey kHttpProxy{"Defaults", "HTTPProxy", "", 260};
inline constexpr SettingKey kHttpProxyAuth{"Defaults", "HTTPProxyAuth", "", 260};
inline constexpr SettingKey kFtpProxy{"Defaults", "FTPProxy", "", 260};
inline constexpr SettingKey kAuthor{"Main", "Author", "", 260};
inline constexpr SettingKey kCompany{"Main", "Company", "", 260};
inline constexpr SettingKey kBrowserPath{"Browser", "Path", "", 80};
inline constexpr SettingKey kLastSummary{"Report", "Last Summary", "", 40};
inline constexpr SettingKey kLastView{"Report", "Last View", "", 40};
inline constexpr SettingKey kDefaultTemplate{"Summary Report", "Default Template", "EXECUTIV.TPL", 80};
inline constexpr SettingKey kProgramLanguage{"Language", "Program", "ENGLISH", 30};
inline constexpr SettingKey kReportLanguage{"Language", "Report", "ENGLISH", 30};
inline constexpr SettingKey kCountry{"Language", "Country", "US", 30};
inline constexpr SettingKey kMailType{"eMail", "eMailType", "SMTP", 16};
inline constexpr SettingKey kMailSubject{"eMail", "Subject", "Kelvaron Reports", 200};
inline constexpr SettingKey kSmtpServer{"eMail", "SMTPServer", "", 200};
inline constexpr SettingKey kMailFrom{"eMail", "From", "", 200};
inline constexpr SettingKey kMailReplyTo{"eMail", "ReplyTo", "", 200};
inline constexpr SettingKey kMapiProfile{"eMail", "MAPIProfile", "", 200};
inline constexpr SettingKey kMapiPassword{"eMail", "MAPIPassword", "", 200};  // scrambled
}  // namespace settings

// The value of a key of KELVARON.INI, cut to the key's size.
std::string ReadSetting(const SettingKey& key);
// Writes a value; null deletes the key. False when the INI layer refused it.
bool WriteSetting(const SettingKey& key, const char* value);
// A boolean key: true when the value starts with 't', 'T' or '1'.
bool ReadSettingFlag(const SettingKey& key);
// Writes "TRUE" or "FALSE".
bool WriteSettingFlag(const SettingKey& key, bool on);
// A password key stored scrambled: the plain password.
std::string ReadScrambledSetting(const SettingKey& key);
// Stores a password scrambled. False, writing nothing, when the password is
// longer than the scrambled form can hold (35 characters).
bool WriteScrambledSetting(const SettingKey& key, std::string_view password);
// [eMail] eMailType: true (MAPI) when the value starts with 'M' or 'm'.
bool ReadMailUsesMapi();

// ---- accessors --------------------------------------------------------------

int ReadTimeout();                                   // [Defaults] Timeout, 60
bool PicturesEnabled();                              // [Defaults] NoPictures is 0
void ReadListPosition(int16_t& start, int16_t& offset);  // [Defaults] ListStart, ListOffset
void WriteListPosition(uint16_t start, uint16_t offset);
std::string ReadBrowserPath();                       // [Browser] Path, 80
// Writes the path and sets the browser kind from its file name:
// "IEXPLORE.EXE" (any case) 1, "NETSCAPE.EXE" 0, anything else unchanged.
void WriteBrowserPath(const char* path);
std::string ReadLastSummary();
void WriteLastSummary(const char* text);
std::string ReadLastView();
void WriteLastView(const char* text);
std::string ReadDefaultTemplate();
void WriteDefaultTemplate(const char* text);
std::string ReadProgramLanguage();
void WriteProgramLanguage(const char* text);
std::string ReadReportLanguage();
void WriteReportLanguage(const char* text);
std::string ReadCountry();
void WriteCountry(const char* text);
int ReadListRefreshRate();                           // [Defaults] ListRefreshRate, 30
uint16_t ReadCpuUsage();                             // [Defaults] CPUUsage, 100, at most 100
// Kind 1: the ODBC driver manager can be loaded (probed once per process).
// Kind 2: [Defaults] GlobalPellavarODBC is nonzero and the driver manager can
// be loaded (probed on each call). Any other kind: false.
bool IsOdbcAvailable(int kind);
bool ShowImportOffer();                              // [Defaults] DontDisplayImportDlg is 0
void SuppressImportOffer();                          // writes 1

// Fills both buffers from [Main] Author and Company. A key that is empty is
// taken from the registry's owner (organisation) name and written to the
// file, so that the registry is consulted only until the key holds a value.
// Buffers may be null (size 0) to skip one of them.
void ReadAuthorAndCompany(char* author, size_t authorSize, char* company, size_t companySize);

// Writes an unsigned 32-bit value in decimal.
bool WriteProfileUnsigned(const char* section, const char* key, uint32_t value, const char* file);

// Turns every byte 0x01 of the text into NUL, from the end backwards.
void CutAtMarkerChar(char* text);

// The browser kind that chooses how documents are shown: 1 and 0 as set by
// WriteBrowserPath; the browser detection sets it as well.
int GetBrowserKind();
void SetBrowserKind(int kind);

#endif
