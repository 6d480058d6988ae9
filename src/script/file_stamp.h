// How a file is measured before it is loaded: its size and 16-bit byte sum, and
// the version stamp made from its modification time.
//
// The byte sum is a plain additive sum of the bytes (each 0 to 255) modulo 65536:
// no seed, no complement, no carry folding. The stamp is the file's last-write time
// in local time, packed the MS-DOS way (two-second resolution, years 1980 to 2107)
// and written month/day/year_hour:minutes:two-second-count, the last field being the
// stored count (0 to 29), not the seconds. Pure helpers; the file-load commands put
// the results into the main window's fields and word the messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/regular_file.h"

namespace zarnik::script {

using zarnik::FilePtr;

// Opens a file to load for reading as raw bytes: a regular file only (see
// OpenRegularFile), so a FIFO or a device named as firmware cannot hang the run.
OpenedFile OpenForRead(const std::string& path);

// Where OpenForRead finds the file a script names: the path itself unless a
// resolver is set. A harness that must not reach the real file system (a fuzzer)
// maps names onto files of its own; an empty result is a file that is not there.
using PathResolver = std::string (*)(const std::string& path);
void SetPathResolver(PathResolver resolver);

struct FileMeasure {
  uint16_t checksum = 0;  // byte sum modulo 65536
  uint64_t size = 0;
};
// The size of the file behind the stream as the file system tells it (0 when it
// cannot tell).
uint64_t StreamSize(std::FILE* f);
// Reads the stream to its end. False on a read error.
bool MeasureStream(std::FILE* f, FileMeasure& out);

// 8-bit sum of a memory block.
uint8_t DataChecksum8(const uint8_t* data, size_t length);

struct DosDateTime {
  uint16_t date = 0;  // day bits 0-4, month 5-8, years since 1980 9-15
  uint16_t time = 0;  // two-second count bits 0-4, minutes 5-10, hours 11-15
};
// A broken-down local time packed the MS-DOS way. Times before 1980 become
// 1/1/1980 0:00:00 and times after 2107 the last representable second, as a DOS
// file system stores them.
DosDateTime PackDosDateTime(const std::tm& local);
// month/day/year_hour:minutes:two-second-count, e.g. 3/5/2001_9:07:21.
std::string FormatDateStamp(DosDateTime packed);
// The stamp of a file's last-write time; false when the file cannot be examined.
bool FileDateStamp(std::FILE* f, std::string& stamp);

}  // namespace zarnik::script
