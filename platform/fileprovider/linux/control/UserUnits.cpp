#include "platform/fileprovider/linux/control/UserUnits.h"

#include <systemd/sd-bus.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lumora::fileprovider {

namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitErrorDomain = "LumoraUserUnitErrorDomain";

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;

// One short conversation per operation: sd-bus connections are not shared
// between threads, and these calls are rare.
Bus openUserBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return nullptr;
  return Bus(bus);
}

Error busError(int code, const sd_bus_error& error, const std::string& what) {
  std::string text = what + ": " + (error.message ? error.message : std::strerror(-code));
  return Error{kUnitErrorDomain, -code, text};
}

class SystemdUserUnits final : public UserUnits {
 public:
  std::optional<Error> enableAndStart(const std::string& unit) override {
    Bus bus = openUserBus();
    if (!bus) return Error{kUnitErrorDomain, ENOTCONN, "No user bus"};
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus.get(), kDestination, kPath, kManager, "EnableUnitFiles", &error,
                               &reply, "asbb", 1, unit.c_str(), 0, 1);
    sd_bus_message_unref(reply);
    reply = nullptr;
    if (r >= 0) {
      r = sd_bus_call_method(bus.get(), kDestination, kPath, kManager, "StartUnit", &error, &reply,
                             "ss", unit.c_str(), "replace");
      sd_bus_message_unref(reply);
    }
    std::optional<Error> result;
    if (r < 0) result = busError(r, error, "Cannot start " + unit);
    sd_bus_error_free(&error);
    return result;
  }

  std::optional<Error> stopAndDisable(const std::string& unit) override {
    Bus bus = openUserBus();
    if (!bus) return Error{kUnitErrorDomain, ENOTCONN, "No user bus"};
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus.get(), kDestination, kPath, kManager, "StopUnit", &error, &reply,
                               "ss", unit.c_str(), "replace");
    sd_bus_message_unref(reply);
    reply = nullptr;
    // A unit that was not loaded is stopped already.
    if (r < 0 && sd_bus_error_has_name(&error, "org.freedesktop.systemd1.NoSuchUnit")) r = 0;
    sd_bus_error_free(&error);
    if (r >= 0) {
      r = sd_bus_call_method(bus.get(), kDestination, kPath, kManager, "DisableUnitFiles", &error,
                             &reply, "asb", 1, unit.c_str(), 0);
      sd_bus_message_unref(reply);
    }
    std::optional<Error> result;
    if (r < 0) result = busError(r, error, "Cannot stop " + unit);
    sd_bus_error_free(&error);
    return result;
  }

  UnitState state(const std::string& unit) override {
    UnitState state;
    Bus bus = openUserBus();
    if (!bus) return state;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const char* path = nullptr;
    if (sd_bus_call_method(bus.get(), kDestination, kPath, kManager, "LoadUnit", &error, &reply,
                           "s", unit.c_str()) >= 0 &&
        sd_bus_message_read(reply, "o", &path) >= 0) {
      auto read = [&](const char* interface, const char* property, std::string& into) {
        char* value = nullptr;
        if (sd_bus_get_property_string(bus.get(), kDestination, path, interface, property, &error,
                                       &value) >= 0) {
          into = value;
        }
        std::free(value);
        sd_bus_error_free(&error);
      };
      read("org.freedesktop.systemd1.Unit", "ActiveState", state.active);
      read("org.freedesktop.systemd1.Unit", "SubState", state.sub);
      read("org.freedesktop.systemd1.Service", "StatusText", state.status);
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return state;
  }
};

}  // namespace

std::shared_ptr<UserUnits> systemdUserUnits() {
  Bus bus = openUserBus();
  if (!bus) return nullptr;
  // The manager answers, and the package's template is installed.
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(bus.get(), kDestination, kPath, kManager, "GetUnitFileState", &error,
                             &reply, "s", kDaemonUnitTemplate);
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  if (r < 0) return nullptr;
  return std::make_shared<SystemdUserUnits>();
}

std::string daemonUnitFor(const std::string& domainIdentifier) {
  std::string escaped;
  for (size_t i = 0; i < domainIdentifier.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(domainIdentifier[i]);
    bool plain = std::isalnum(c) || c == ':' || c == '_' || (c == '.' && i > 0);
    if (c == '/') {
      escaped += '-';
    } else if (plain) {
      escaped += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      escaped += hex;
    }
  }
  return "lumora-fileprovider@" + escaped + ".service";
}

}  // namespace lumora::fileprovider
