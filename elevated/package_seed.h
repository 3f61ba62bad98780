#pragma once

#include <string>
#include <vector>

// What the package's install step puts into the machine-wide store, and takes
// out again when the package is removed.
//
// The PPPoE driver page reads the number of PPPoE endpoints from the driver's
// class key, named by the "Driver" text of the driver's device key. Linux has
// no such driver setting, so the install step plants both: the device key's
// "Driver" value naming the first instance of the network adapter class, and
// that class key's "WanEndpoints" value 1. Values already present are kept.
//
// Seeding reports what it added, as words: "folder" (the store's folder was
// made), "store" (the database file was made), "driver", "endpoints". The
// package keeps that list, and removal takes exactly those words back:
//   driver     the "Driver" value, while it still names the seeded class key
//   endpoints  the "WanEndpoints" value (the number the page set included)
//   store      the database file, when nothing else is left in it
//   folder     the store's folder, when it is empty
// and the seeded keys themselves wherever they are left empty.
namespace PackageSeed {

inline constexpr const char* kDeviceKey =
    "SYSTEM\\CurrentControlSet\\Enum\\Root\\MS_PPPOEMINIPORT\\0000";
inline constexpr const char* kDriverText = "{4D36E972-E325-11CE-BFC1-08002bE10318}\\0000";
inline constexpr const char* kClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0000";
inline constexpr int kSeededEndpoints = 1;

// Plants the missing values in the machine-wide store. True on success, with
// the words of what was added; false with the reason in error.
bool Seed(std::vector<std::string>& added, std::string& error);

// Takes back what the words name (unknown words are refused before anything
// is changed). True on success; false with the reason in error.
bool Remove(const std::vector<std::string>& items, std::string& error);

}  // namespace PackageSeed
