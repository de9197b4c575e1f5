// Reading the text of a Wine registry file into a key tree; used by WineHive.
//
// A file is read key by key as it is asked for: loading reads the header and
// finds where each key line starts, nothing more. The first look at a key's
// subkeys reads the key lines below it as far as the names of its subkeys
// (the lines below those are left on them) and each subkey's own block: its
// time, class and comments at once, its value lines when its values are
// first asked for. What is read, the problems found and where they are, is
// what reading the whole file line by line at once gives.
//
// A file where that could differ (a line continued onto a key line, or onto
// a blank line before one or before the end) is read line by line at once,
// its value lines still left on their keys where the same holds for them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "machine/wine/wine_hive.h"

namespace tolvane {

// Reads the header of source->text (not empty) and finds its key lines,
// leaving them on root. The lines before the first key go to preamble, the
// unescaped path of ";; All keys relative to" to relativeTo, the blank lines
// after the last block to trailer. Returns false, having read nothing, when
// the text must be read line by line (ReadHiveText).
bool IndexHiveText(HiveSource* source, HiveKey* root, std::string* preamble,
                   std::string* relativeTo, std::string* trailer);

// Reads source->text (not empty) line by line into the tree under root, with
// the same results as IndexHiveText. Problems go to source->problems; a text
// that is no Wine registry file reads as one problem and an empty tree.
void ReadHiveText(HiveSource* source, HiveKey* root, std::string* preamble, std::string* relativeTo,
                  std::string* trailer);

// Reads the value lines a key was left with (a view of source->text).
void ReadHiveValueLines(HiveSource* source, HiveKey* key, std::string_view lines);

// Reads the key lines a key was left with, in the order given (the file's).
void ReadHiveSubkeys(HiveSource* source, HiveKey* key, const std::vector<HivePendingBlock>& blocks);

}  // namespace tolvane
