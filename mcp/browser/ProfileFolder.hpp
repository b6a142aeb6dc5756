#pragma once

// The browser's throw-away profile folders, and the sweep of what crashed runs left behind.

#include <sys/types.h>

#include <chrono>
#include <filesystem>

namespace varn::mcp {

// The profile folders "varn-browser-<UPPER-CASE UUID>" (mode 0700) in the temporary folder. Each
// holds an owner record (this server's pid and start time, the browser's pid and start time, the
// boot id), by which a later start of any server sweeps what crashed runs left behind without
// touching another live server's browser or folder. Folders of other users are never touched.
// Only static functions; thread-safe.
class ProfileFolder final {
 public:
  ProfileFolder() = delete;

  // Makes a fresh folder in `tempFolder`, private at once, holding this server's owner record and
  // an empty home for the browser (home). Throws std::filesystem::filesystem_error when it cannot
  // be made.
  [[nodiscard]] static std::filesystem::path create(const std::filesystem::path& tempFolder);

  // The browser's home inside the profile `folder`.
  [[nodiscard]] static std::filesystem::path home(const std::filesystem::path& folder);

  // Adds the browser `pid` (with its start time) to the folder's owner record. The record is
  // replaced whole; a failure leaves the one before.
  static void recordBrowser(const std::filesystem::path& folder, pid_t browser);

  // The longest remove() takes.
  static constexpr std::chrono::milliseconds kRemoveWait{2000};

  // Deletes the folder, retrying for up to kRemoveWait while the browser's helpers still write
  // into it. Never throws.
  static void remove(const std::filesystem::path& folder) noexcept;

  // Deletes the folders whose server is gone, first ending (SIGTERM, through a pidfd, waiting up
  // to half a second) their recorded browser when it is still that process, and folders without
  // a readable record once they are a day old. Folders of live servers, this one included, stay.
  // Reports nothing.
  static void sweepOrphans(const std::filesystem::path& tempFolder);
};

}  // namespace varn::mcp
