// String and path helpers: bounded copies, null-safe comparisons, a growing heap append,
// and the three path functions that build file names.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#if defined(__GNUC__)
#define OSTREL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define OSTREL_PRINTF(fmt, args)
#endif

/// Fixed sizes shared by the whole program: a line, path or name holds at most 511
/// characters in a 512-byte buffer; a formatted reply or log message at most 1023.
inline constexpr int kLineBuffer = 512;
inline constexpr int kLineLimit = 511;
inline constexpr int kMessageBuffer = 1024;

/// Releases a heap text made by append_grow (or any malloc'd block).
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

/// Copies at most n bytes of src into dest and terminates it, also at position n.
/// dest must hold n + 1 bytes. Returns the end of the copied text; dest for a null src
/// (made empty); null for a null dest.
char* copy_bounded(char* dest, const char* src, int n);

/// Appends src to the text in dest so that the whole holds at most n characters
/// (a text already longer than n is cut to n). Returns where the appended part begins.
char* append_bounded(char* dest, const char* src, int n);

/// Byte comparison: 0 when equal; 1 when either side is null (two nulls differ).
int same_text(const char* a, const char* b);

/// Compares at most n bytes: 0 when equal; 1 when either side is null.
int same_prefix(const char* a, const char* b, std::size_t n);

/// Appends addition to a malloc'd text (or null), growing the block. Returns the new
/// block, or text unchanged when addition is null or the block cannot grow.
char* append_grow(char* text, const char* addition);

/// Turns every carriage return and newline among the first length bytes of text into a
/// blank, so that a text written as one line stays one line whatever it holds.
void keep_one_line(char* text, std::size_t length);

/// Keeps letters, digits and . _ * : @ and the native separator, turns blanks into '_',
/// drops every other byte, and strips trailing '_' (never the first character).
/// Returns a process-wide buffer that the next call overwrites (join_path uses it too).
const char* sanitize_name(const char* text);

/// Joins a directory and a cleaned file name with exactly one separator.
/// Returns a process-wide buffer that the next call overwrites.
const char* join_path(const char* directory, const char* file_name);

/// The last component of a path (after the last separator); with strip nonzero, cut at
/// its first '.'. Returns a process-wide buffer that the next call overwrites.
const char* base_name(const char* path, int strip);

/// The directory separator the path helpers use: '/' on POSIX builds, '\' on Windows.
char path_separator();

/// Switches the separator, so that tests can run the Windows form on any build.
void set_path_separator_for_tests(char separator);
