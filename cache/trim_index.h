// The index of one trim pass: every scanned file with the time of its last use and its size,
// walked oldest use first. Files that share a time keep the order in which the scan met them.
//
// Kept compact because a cache holds hundreds of thousands of files: an entry is 24 bytes,
// folder paths are stored once, and names sit in fixed blocks that never move, so filling the
// index never copies what it already holds. Names are kept as 8-bit units: one byte for each
// character of the ASCII names the proxy gives its files, and every other name encoded without
// loss (lone surrogates included, which a file name may hold).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct TrimCandidate {
    uint64_t LastUse;     // file time, 100 ns units
    int64_t Size;         // bytes
    uint32_t Folder;      // index into TrimIndex::Folders
    uint32_t NameOffset;  // offset of the terminated name in the name blocks
};

struct TrimIndex {
    std::vector<std::wstring> Folders;
    std::vector<std::unique_ptr<TrimCandidate[]>> EntryBlocks;
    std::vector<std::unique_ptr<char[]>> NameBlocks;
    size_t Count = 0;
    size_t NameUsed = 0;  // bytes used in the last name block
    std::wstring NameEnd;  // what every name ends in and is not stored: added back to each path
};

// Empties the index and gives its memory back.
void ClearTrimIndex(TrimIndex& index);

// Records a folder; files added afterwards name it by the returned number.
uint32_t AddTrimFolder(TrimIndex& index, const std::wstring& path);

void AddTrimCandidate(TrimIndex& index, uint32_t folder, const wchar_t* name, uint64_t lastUse,
                      int64_t size);

// A file name as the index keeps it, and back: UTF-8, with each unpaired surrogate encoded on
// its own as three bytes, so that any name the file system lists comes back the same.
std::string PackName(const wchar_t* name);
std::wstring UnpackName(const char* packed);

// The full path of a candidate: its folder, a backslash, its name and NameEnd.
std::wstring TrimCandidatePath(const TrimIndex& index, const TrimCandidate& candidate);

// Walks the candidates oldest use first; ties come in the order they were added.
// StartOldestFirst sorts the index in place; NextOldest returns null when none is left.
struct TrimWalk {
    std::vector<size_t> Next;  // per block, the position of its next candidate
};
void StartOldestFirst(TrimIndex& index, TrimWalk& walk);
const TrimCandidate* NextOldest(const TrimIndex& index, TrimWalk& walk);
