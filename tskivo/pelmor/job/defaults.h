// The engine's defaults file, read at the start of every job and written on
// "-defaults".
#pragma once

#include <string>

#include "post_job.h"

namespace pelmor {

// $SystemRoot/pelmor.ini, else ${XDG_CONFIG_HOME:-$HOME/.config}/pelmor.ini.
std::string defaultsFilePath();
void readDefaults(PostJob& job, const std::string& path);
// Owner-only (0600): the file holds the password.
void writeDefaultsFile(const PostJob& job, const std::string& path);
// The performance log: "performance_data" beside the defaults file.
std::string performanceLogPath(const PostJob& job);

}  // namespace pelmor
