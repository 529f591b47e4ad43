#pragma once
// Every file the tool writes goes to a temporary name in its target folder
// and is renamed into place only once the whole run succeeded. Whatever was
// not committed is removed again, and so is any folder created for it.

#include <string>
#include <vector>

namespace qbrender {

class PendingOutputs {
 public:
  PendingOutputs();
  ~PendingOutputs();
  PendingOutputs(const PendingOutputs&) = delete;
  PendingOutputs& operator=(const PendingOutputs&) = delete;

  // Reserves finalPath, creating its folder when needed, and creates its
  // temporary file. Returns the temporary's open descriptor (the caller owns
  // it), or -1 with the reason.
  int Create(const std::string& finalPath, std::string& error);
  // The temporary behind a reserved final path ("" if not reserved).
  std::string TemporaryPath(const std::string& finalPath) const;
  // Gives up a reserved file: its temporary is removed now.
  void Discard(const std::string& finalPath);
  // Renames every reserved file into place, in reservation order.
  bool CommitAll(std::string& error);
  const std::vector<std::string>& Committed() const { return mCommitted; }

 private:
  struct Entry {
    std::string finalPath;
    std::string tempPath;
  };
  bool EnsureFolder(const std::string& folder, std::string& error);

  std::vector<Entry> mPending;
  std::vector<std::string> mCommitted;
  std::vector<std::string> mCreatedFolders;  // in creation order
  unsigned mFileMode = 0644;
};

// folder/name, or name as given when it has a folder part of its own.
std::string OutputPath(const std::string& folder, const std::string& name);
// True when both paths name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace qbrender
