#include "cache/trim_index.h"

#include <algorithm>
#include <cwchar>

namespace {

// The index's memory per file, and so the benchmark's figure, rests on this.
static_assert(sizeof(TrimCandidate) == 24, "a trim candidate takes 24 bytes");

// Blocks are large enough to keep their number small (the walk looks at each block's head)
// and small enough that the unused tail of the last one does not matter.
constexpr size_t ENTRY_BLOCK = 8192;
constexpr size_t NAME_BLOCK = 65536;

// Names are appended in scan order, so the name offset doubles as the scan sequence number
// that breaks ties between equal access times.
bool IsOlder(const TrimCandidate& a, const TrimCandidate& b)
{
    if (a.AccessTime != b.AccessTime)
        return a.AccessTime < b.AccessTime;
    return a.NameOffset < b.NameOffset;
}

size_t BlockLength(const TrimIndex& index, size_t block)
{
    if (block + 1 < index.EntryBlocks.size())
        return ENTRY_BLOCK;
    return index.Count - block * ENTRY_BLOCK;
}

}  // namespace

void ClearTrimIndex(TrimIndex& index)
{
    index = TrimIndex{};
}

uint32_t AddTrimFolder(TrimIndex& index, const std::wstring& path)
{
    index.Folders.push_back(path);
    return static_cast<uint32_t>(index.Folders.size() - 1);
}

void AddTrimCandidate(TrimIndex& index, uint32_t folder, const wchar_t* name, uint64_t accessTime,
                      int64_t size)
{
    size_t length = wcslen(name) + 1;
    if (index.NameBlocks.empty() || index.NameUsed + length > NAME_BLOCK) {
        index.NameBlocks.emplace_back(new wchar_t[NAME_BLOCK]);
        index.NameUsed = 0;
    }
    size_t nameOffset = (index.NameBlocks.size() - 1) * NAME_BLOCK + index.NameUsed;
    wmemcpy(index.NameBlocks.back().get() + index.NameUsed, name, length);
    index.NameUsed += length;

    if (index.Count % ENTRY_BLOCK == 0)
        index.EntryBlocks.emplace_back(new TrimCandidate[ENTRY_BLOCK]);
    index.EntryBlocks.back()[index.Count % ENTRY_BLOCK] =
        TrimCandidate{accessTime, size, folder, static_cast<uint32_t>(nameOffset)};
    ++index.Count;
}

std::wstring TrimCandidatePath(const TrimIndex& index, const TrimCandidate& candidate)
{
    const wchar_t* name =
        index.NameBlocks[candidate.NameOffset / NAME_BLOCK].get() + candidate.NameOffset % NAME_BLOCK;
    return index.Folders[candidate.Folder] + L"\\" + name;
}

void StartOldestFirst(TrimIndex& index, TrimWalk& walk)
{
    for (size_t block = 0; block < index.EntryBlocks.size(); ++block) {
        TrimCandidate* first = index.EntryBlocks[block].get();
        std::sort(first, first + BlockLength(index, block), IsOlder);
    }
    walk.Next.assign(index.EntryBlocks.size(), 0);
}

const TrimCandidate* NextOldest(const TrimIndex& index, TrimWalk& walk)
{
    const TrimCandidate* oldest = nullptr;
    size_t oldestBlock = 0;
    for (size_t block = 0; block < walk.Next.size(); ++block) {
        if (walk.Next[block] == BlockLength(index, block))
            continue;
        const TrimCandidate* head = &index.EntryBlocks[block][walk.Next[block]];
        if (!oldest || IsOlder(*head, *oldest)) {
            oldest = head;
            oldestBlock = block;
        }
    }
    if (oldest)
        ++walk.Next[oldestBlock];
    return oldest;
}
