// Every file a run writes: checked before anything is opened, written under a
// temporary name beside its final one, and renamed only once it is complete. What is
// not committed is removed, also when SIGINT or SIGTERM ends the run.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "options.h"

namespace ctl {

class Outputs {
 public:
  Outputs();
  ~Outputs();  // removes every temporary not committed
  Outputs(const Outputs &) = delete;
  Outputs &operator=(const Outputs &) = delete;

  // A file the user's data comes from (a registry file, a media input): no output may
  // name it.
  void Protect(const std::string &path, const std::string &option);
  // A file the run will write, named by `option`. Throws UsageError when it cannot be
  // written: a folder or device in its place, a folder that does not exist (unless
  // `createFolder`) or cannot be written, or a file another output or an input names.
  void Claim(const std::string &path, const std::string &option, bool createFolder = false);
  // Creates the claimed file's temporary (and its folder when asked); returns its name.
  // Throws UsageError when it cannot be created.
  std::string Open(const std::string &path);
  // Renames the temporary over the final name; false with a message when that fails.
  bool Commit(const std::string &path, std::string *error);
  // Removes the temporary.
  void Discard(const std::string &path);
  void DiscardAll();

  // SIGINT and SIGTERM: while `Listening`, they only set the flag the capture loop
  // polls; otherwise every temporary is removed and the program ends at once.
  static void InstallSignalHandlers();
  static void SetListening(bool listening);
  static int PendingSignal();  // 0 when none arrived
  // Ends the program as the signal would have, after removing the temporaries.
  [[noreturn]] static void DieOfSignal(int signal);

 private:
  struct Entry {
    std::string path;
    std::string option;
    std::string identity;  // canonical path, or device and inode when it exists
    bool output = false;
    bool createFolder = false;
    std::string temporary;  // while open
  };
  Entry *Find(const std::string &path);
  void Track(const std::string &temporary, bool add);

  std::vector<Entry> entries_;
};

}  // namespace ctl
