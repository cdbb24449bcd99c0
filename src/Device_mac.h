// Device layer, macOS: the node listing and the port-number parsing behind
// the search and the liveness test. They are plain POSIX, so they are also
// built and tested on Linux.
#pragma once

#include <string>
#include <vector>

// The full paths ("<directory>/<name>") of the entries of directory whose
// names begin with prefix, in byte-wise name order: what
// "/bin/ls <directory>/<prefix>*" lists, without starting a shell from a
// threaded library. Empty when the directory cannot be read.
std::vector<std::string> ListDeviceNodes(const char* directory, const char* prefix);

// Takes the port number from a node path of the form "/dev/cu.usbmodem<n>",
// as sscanf with "/dev/cu.usbmodem%d" reads it (blanks and a sign allowed
// before the digits, anything after them ignored). 1 and *number set when
// there is a number that fits an int; otherwise 0 and *number unchanged.
int ParseDeviceNumber(const char* path, int* number);
