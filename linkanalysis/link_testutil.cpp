#include "linkanalysis/link_testutil.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/sync/sync.h"

namespace kvla::test {

namespace {

const char kServer[] = R"PY(
import http.server, os, sys, threading, time
root, logpath, portfile, address = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
lock = threading.Lock()
class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *a, **k):
        super().__init__(*a, directory=root, **k)
    def log_message(self, *a):
        pass
    def note(self):
        with lock, open(logpath, 'a') as f:
            f.write('%s %s|%s|%s|%s\n' % (self.command, self.path, self.headers.get('Cookie', ''),
                    self.headers.get('Authorization', ''), self.headers.get('Host', '')))
    def answer(self, code, headers=(), body=b''):
        self.send_response(code)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        if self.command == 'GET':
            self.wfile.write(body)
    def special(self):
        p = self.path
        if p.startswith('/r/'):
            n = int(p[3:])
            if n > 0:
                self.answer(302, [('Location', '/r/%d' % (n - 1))])
            else:
                self.answer(200, [('Content-Type', 'text/html')], b'<html><title>End</title></html>')
            return True
        if p.startswith('/goto?'):
            self.answer(302, [('Location', p[6:])])
            return True
        if p == '/empty':
            self.close_connection = True
            return True
        if p == '/nocontent':
            self.answer(204)
            return True
        if p == '/slow.html':
            time.sleep(3)
            self.answer(200, [('Content-Type', 'text/html')], b'<html>slow</html>')
            return True
        if p == '/cookie.html':
            self.answer(200, [('Set-Cookie', 'sid=abc; path=/'), ('Content-Type', 'text/html')],
                        b'<html><a href="needcookie.html">x</a></html>')
            return True
        if p == '/needcookie.html':
            if 'sid=abc' in self.headers.get('Cookie', ''):
                self.answer(200, [('Content-Type', 'text/html')], b'<html>ok</html>')
            else:
                self.answer(403)
            return True
        if p.startswith('/query'):
            self.answer(200, [('Content-Type', 'text/html')], b'<html>q</html>')
            return True
        return False
    def do_GET(self):
        self.note()
        if not self.special():
            super().do_GET()
    def do_HEAD(self):
        self.note()
        if not self.special():
            super().do_HEAD()
http.server.ThreadingHTTPServer.daemon_threads = True
srv = http.server.ThreadingHTTPServer((address, 0), Handler)
with open(portfile + '.tmp', 'w') as f:
    f.write(str(srv.server_address[1]))
os.rename(portfile + '.tmp', portfile)
srv.serve_forever()
)PY";

}  // namespace

TempFolder::TempFolder() {
  std::string base = std::filesystem::temp_directory_path().string() + "/kvlinkXXXXXX";
  std::vector<char> name(base.begin(), base.end());
  name.push_back(0);
  if (!mkdtemp(name.data())) throw std::runtime_error("mkdtemp");
  path_ = name.data();
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  out << data;
}

void BeginMemoryRun(LinkAnalysisDataStruct* ctx) {
  ctx->databaseMutex = KvCreateMutex("DatabaseMutex", 0, 0);
  ctx->inlistMutex = KvCreateMutex("InlistMutex", 0, 0);
  ctx->cookieMutex = KvCreateMutex("CookieMutex", 0, 0);
  ctx->dnsMutex = KvCreateMutex("DNSLookupMutex", 0, 0);
  ctx->records.reserve(kBlockRecords);
  ctx->refs.reserve(kBlockRecords);
  ctx->blocks = 1;
  ctx->count = 0;
  ctx->running = true;
}

void EndMemoryRun(LinkAnalysisDataStruct* ctx) {
  for (KvHandle* h : {&ctx->databaseMutex, &ctx->inlistMutex, &ctx->cookieMutex, &ctx->dnsMutex}) {
    if (*h) KvCloseHandle(*h);
    *h = 0;
  }
  ctx->running = false;
}

TestSite::TestSite(const std::map<std::string, std::string>& files, const std::string& address)
    : address_(address) {
  root_ = folder_.file("site");
  std::filesystem::create_directories(root_);
  for (const auto& [name, data] : files) WriteFile(root_ + "/" + name, data);
  WriteFile(folder_.file("server.py"), kServer);
  log_ = folder_.file("requests.log");
  WriteFile(log_, "");
  std::string portFile = folder_.file("port");
  pid_ = fork();
  if (pid_ == 0) {
    execlp("python3", "python3", folder_.file("server.py").c_str(), root_.c_str(), log_.c_str(), portFile.c_str(),
           address_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500 && port_ == 0; ++i) {
    std::string text = ReadFile(portFile);
    if (!text.empty()) port_ = std::atoi(text.c_str());
    if (port_ == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (port_ == 0) throw std::runtime_error("test web server did not start");
}

TestSite::~TestSite() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::vector<std::string> TestSite::requests() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(log_));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace kvla::test
