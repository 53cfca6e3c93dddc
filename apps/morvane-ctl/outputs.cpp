#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "rig.h"

namespace ctl {

namespace {

// Temporaries the signal handler removes: plain arrays it may read while the main code
// changes them only with the signals blocked.
constexpr int kMaxTracked = 64;
char gTracked[kMaxTracked][PATH_MAX];
volatile std::sig_atomic_t gListening = 0;
volatile std::sig_atomic_t gPending = 0;

void RemoveTracked() {
  for (auto &name : gTracked)
    if (name[0] != '\0') ::unlink(name);
}

void OnSignal(int signal) {
  gPending = signal;
  if (gListening) return;
  RemoveTracked();
  const char message[] = "morvane-ctl: interrupted: nothing was written\n";
  ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
  (void)ignored;
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

class BlockSignals {
 public:
  BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~BlockSignals() { sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

std::string Errno() { return std::strerror(errno); }

// What makes two names the same file: the file itself when it exists, else the path
// with every existing part resolved.
std::string Identity(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0)
    return "inode:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  std::error_code ec;
  std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
  return "path:" +
         (ec ? std::filesystem::absolute(path).lexically_normal().string() : canonical.string());
}

std::filesystem::path FolderOf(const std::string &path) {
  std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace

Outputs::Outputs() = default;

Outputs::~Outputs() { DiscardAll(); }

Outputs::Entry *Outputs::Find(const std::string &path) {
  for (Entry &e : entries_)
    if (e.output && e.path == path) return &e;
  return nullptr;
}

void Outputs::Protect(const std::string &path, const std::string &option) {
  Entry e;
  e.path = path;
  e.option = option;
  e.identity = Identity(path);
  entries_.push_back(std::move(e));
}

void Outputs::Claim(const std::string &path, const std::string &option, bool createFolder) {
  const std::string shown = option + " '" + Shown(path) + "'";
  if (path.empty()) throw UsageError(option + ": no file name");
  if (path.size() >= PATH_MAX) throw UsageError(shown + ": the name is too long");
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw UsageError(shown + ": is a folder, not a file");
    if (!S_ISREG(st.st_mode))
      throw UsageError(shown + ": not a regular file; it is not written over");
  }
  // The folder must take a new file (the temporary, then the rename).
  std::filesystem::path folder = FolderOf(path);
  std::error_code ec;
  // A folder another output of this run creates will be there too.
  for (const Entry &other : entries_)
    if (other.output && other.createFolder &&
        FolderOf(other.path).lexically_normal() == folder.lexically_normal())
      createFolder = true;
  if (!std::filesystem::is_directory(folder, ec)) {
    if (!createFolder || std::filesystem::exists(folder, ec))
      throw UsageError(shown + ": cannot write there: no folder '" + Shown(folder.string()) + "'");
    while (!folder.empty() && !std::filesystem::exists(folder, ec)) folder = folder.parent_path();
    if (folder.empty()) folder = ".";
    if (!std::filesystem::is_directory(folder, ec))
      throw UsageError(shown + ": cannot create its folder: '" + Shown(folder.string()) +
                       "' is not a folder");
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    throw UsageError(shown + ": cannot write in '" + Shown(folder.string()) + "': " + Errno());

  Entry e;
  e.path = path;
  e.option = option;
  e.identity = Identity(path);
  e.output = true;
  e.createFolder = createFolder;
  for (const Entry &other : entries_) {
    if (other.identity != e.identity) continue;
    if (other.output)
      throw UsageError(shown + " and " + other.option + " '" + Shown(other.path) +
                       "' name the same file");
    throw UsageError(shown + " names the file " + other.option + " reads; it would be overwritten");
  }
  entries_.push_back(std::move(e));
}

std::string Outputs::Open(const std::string &path) {
  Entry *e = Find(path);
  if (e == nullptr) throw UsageError("'" + Shown(path) + "' was not checked before opening");
  if (!e->temporary.empty()) return e->temporary;
  if (e->createFolder) {
    std::error_code ec;
    std::filesystem::create_directories(FolderOf(path), ec);
    if (ec)
      throw UsageError(e->option + " '" + Shown(path) +
                       "': cannot create its folder: " + ec.message());
  }
  std::string name = path + ".XXXXXX.part";
  {
    BlockSignals block;
    int fd = ::mkstemps(name.data(), 5);
    if (fd < 0) throw UsageError(e->option + " '" + Shown(path) + "': cannot write: " + Errno());
    // As a new file of the user's would be: mkstemp makes it private.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    e->temporary = name;
    Track(name, true);
  }
  return name;
}

bool Outputs::Commit(const std::string &path, std::string *error) {
  Entry *e = Find(path);
  if (e == nullptr || e->temporary.empty()) return true;
  BlockSignals block;
  if (::rename(e->temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write '" + Shown(path) + "': " + Errno();
    ::unlink(e->temporary.c_str());
  }
  Track(e->temporary, false);
  e->temporary.clear();
  return error->empty();
}

void Outputs::Discard(const std::string &path) {
  Entry *e = Find(path);
  if (e == nullptr || e->temporary.empty()) return;
  BlockSignals block;
  ::unlink(e->temporary.c_str());
  Track(e->temporary, false);
  e->temporary.clear();
}

void Outputs::DiscardAll() {
  for (Entry &e : entries_)
    if (e.output) Discard(e.path);
}

void Outputs::Track(const std::string &temporary, bool add) {
  for (auto &slot : gTracked) {
    if (add ? slot[0] == '\0' : temporary == slot) {
      if (add)
        std::snprintf(slot, sizeof slot, "%s", temporary.c_str());
      else
        slot[0] = '\0';
      return;
    }
  }
  if (add) throw UsageError("too many output files");
}

void Outputs::InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void Outputs::SetListening(bool listening) { gListening = listening ? 1 : 0; }

int Outputs::PendingSignal() { return gPending; }

void Outputs::DieOfSignal(int signal) {
  {
    BlockSignals block;
    RemoveTracked();
  }
  std::fflush(stdout);
  ::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  std::_Exit(128 + signal);
}

}  // namespace ctl
