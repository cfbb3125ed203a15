// Bundle resolution: a caller's path becomes a bundle directory (unpacking an
// IMX container once), and a member name becomes a file path inside it.
#pragma once

#include <string>

namespace le {

// True when `path` names a regular file whose first 8 bytes hold the IMX
// magic and version 2.
bool isImxV2File(const std::string& path);

// A directory as it is; an IMX container (named itself, or by its path
// without ".imx") unpacked once and its unwrap directory returned.
// Containers unpack under `unwrapRoot` ("" = beside the container).
// Throws std::runtime_error only from unpacking.
std::string resolveBundlePath(const std::string& path, const std::string& unwrapRoot = {});

// dir + "/" + name, or the path under the member's current name when only
// that one exists. Never fails.
std::string resolveMember(const std::string& dir, const std::string& name);

// Opens `path` read-only when it is a regular file; -1 otherwise. A FIFO or a
// device never blocks the caller: the open does not wait for a writer.
int openRegularFile(const std::string& path);
// True when `path` is a regular file this process can open for reading.
bool opensForReading(const std::string& path);
// True when `path` (links followed) is a regular file.
bool isRegularFile(const std::string& path);
// A member name that would leave the bundle: empty, absolute, with "..", or
// holding a zero byte.
bool unsafeMemberName(const std::string& name);

namespace bundle {

// The current name of an older member name; empty when there is none.
std::string counterpartName(const std::string& name);

// Unpacks the container at `container` unless its unwrap directory already
// holds this very container; returns the unwrap directory.
std::string unwrapOnce(const std::string& container, const std::string& root = {});

// Where `container` unpacks to: under `root`, or beside it when that is "".
std::string unwrapDirFor(const std::string& container, const std::string& root = {});

std::string stripTrailingSlashes(const std::string& p);
std::string lastComponent(const std::string& p);
std::string dirPart(const std::string& p);
// Removes a tree without following symbolic links; true when nothing is left.
bool removeTree(const std::string& p);
// mkdir -p with mode 0755; true when the directory exists afterwards.
bool makeDirs(const std::string& p);

}  // namespace bundle
}  // namespace le
