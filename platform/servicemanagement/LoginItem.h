#pragma once
// The application's own login item. On a Linux desktop it is an XDG autostart
// entry, $XDG_CONFIG_HOME/autostart/<id>.desktop, that starts the executable.

#include <filesystem>
#include <string>

#include "platform/foundation/Error.h"

namespace lumora::servicemanagement {

// The raw values follow the service-management framework's status.
enum class LoginItemStatus {
  notRegistered = 0,
  enabled = 1,
  requiresApproval = 2,
  notFound = 3,
};

class LoginItem {
 public:
  virtual ~LoginItem() = default;
  virtual LoginItemStatus status() const = 0;
  // Makes the item enabled: writes a fresh entry when it is missing or stale.
  virtual Result<void> registerItem() = 0;
};

class XdgAutostartLoginItem final : public LoginItem {
 public:
  // `entryFile` is the .desktop file; `executable` the program it must start.
  XdgAutostartLoginItem(std::filesystem::path entryFile, std::filesystem::path executable);
  // This application: com.lumora.desktop.desktop in the user's autostart
  // folder, starting the running executable (/proc/self/exe).
  static XdgAutostartLoginItem mainApp();

  // requiresApproval when the entry is Hidden or disabled for GNOME (the
  // user turned it off); enabled when it exists and its Exec starts
  // `executable`; notRegistered otherwise.
  LoginItemStatus status() const override;
  // Fails, changing nothing, when the user turned the item off.
  Result<void> registerItem() override;

  const std::filesystem::path& entryFile() const { return entryFile_; }

 private:
  std::filesystem::path entryFile_;
  std::filesystem::path executable_;
};

}  // namespace lumora::servicemanagement
