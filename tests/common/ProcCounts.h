// Counting a directory's entries: open descriptors (/proc/self/fd), threads
// (/proc/self/task) and lock files, for the leak checks of several suites.
#pragma once

#include <dirent.h>

#include <string>

// Entries of `dir` whose names start with `prefix` ("." and ".." aside); 0
// when the directory cannot be read.
inline int CountEntries(const char* dir, const char* prefix = "") {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      if (name.rfind(prefix, 0) == 0) ++n;
    }
    closedir(d);
  }
  return n;
}
