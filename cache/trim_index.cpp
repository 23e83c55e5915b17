#include "cache/trim_index.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace {

// The index's memory per file, and so the benchmark's figure, rests on this.
static_assert(sizeof(TrimCandidate) == 24, "a trim candidate takes 24 bytes");

// Blocks are large enough to keep their number small (the walk looks at each block's head)
// and small enough that the unused tail of the last one does not matter.
constexpr size_t ENTRY_BLOCK = 8192;
constexpr size_t NAME_BLOCK = 65536;

// Names are appended in scan order, so the name offset doubles as the scan sequence number
// that breaks ties between equal times.
bool IsOlder(const TrimCandidate& a, const TrimCandidate& b)
{
    if (a.LastUse != b.LastUse)
        return a.LastUse < b.LastUse;
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

std::string PackName(const wchar_t* name)
{
    std::string packed;
    for (const wchar_t* at = name; *at; ++at) {
        uint32_t c = static_cast<uint16_t>(*at);
        if (c >= 0xD800 && c <= 0xDBFF && at[1] >= 0xDC00 && at[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint16_t>(at[1]) - 0xDC00);
            ++at;
        }
        if (c < 0x80) {
            packed += static_cast<char>(c);
        } else if (c < 0x800) {
            packed += static_cast<char>(0xC0 | (c >> 6));
            packed += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            packed += static_cast<char>(0xE0 | (c >> 12));
            packed += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            packed += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            packed += static_cast<char>(0xF0 | (c >> 18));
            packed += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            packed += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            packed += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return packed;
}

std::wstring UnpackName(const char* packed)
{
    std::wstring name;
    const auto* at = reinterpret_cast<const unsigned char*>(packed);
    while (*at) {
        uint32_t c = *at++;
        if (c >= 0xF0) {
            c = ((c & 0x07) << 18) | ((at[0] & 0x3Fu) << 12) | ((at[1] & 0x3Fu) << 6) | (at[2] & 0x3Fu);
            at += 3;
            c -= 0x10000;
            name += static_cast<wchar_t>(0xD800 + (c >> 10));
            name += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            continue;
        }
        if (c >= 0xE0) {
            c = ((c & 0x0F) << 12) | ((at[0] & 0x3Fu) << 6) | (at[1] & 0x3Fu);
            at += 2;
        } else if (c >= 0xC0) {
            c = ((c & 0x1F) << 6) | (at[0] & 0x3Fu);
            at += 1;
        }
        name += static_cast<wchar_t>(c);
    }
    return name;
}

void AddTrimCandidate(TrimIndex& index, uint32_t folder, const wchar_t* name, uint64_t lastUse,
                      int64_t size)
{
    // The proxy's names are short ASCII: those are copied byte by byte without building a string.
    size_t length = 0;
    bool ascii = true;
    for (; name[length]; ++length)
        ascii = ascii && name[length] < 0x80;
    std::string packed = ascii ? std::string() : PackName(name);
    if (!ascii)
        length = packed.size();
    ++length;  // the terminator

    if (index.NameBlocks.empty() || index.NameUsed + length > NAME_BLOCK) {
        index.NameBlocks.emplace_back(new char[NAME_BLOCK]);
        index.NameUsed = 0;
    }
    size_t nameOffset = (index.NameBlocks.size() - 1) * NAME_BLOCK + index.NameUsed;
    char* to = index.NameBlocks.back().get() + index.NameUsed;
    if (ascii) {
        for (size_t i = 0; i < length; ++i)
            to[i] = static_cast<char>(name[i]);
    } else {
        memcpy(to, packed.c_str(), length);
    }
    index.NameUsed += length;

    if (index.Count % ENTRY_BLOCK == 0)
        index.EntryBlocks.emplace_back(new TrimCandidate[ENTRY_BLOCK]);
    index.EntryBlocks.back()[index.Count % ENTRY_BLOCK] =
        TrimCandidate{lastUse, size, folder, static_cast<uint32_t>(nameOffset)};
    ++index.Count;
}

std::wstring TrimCandidatePath(const TrimIndex& index, const TrimCandidate& candidate)
{
    const char* name = index.NameBlocks[candidate.NameOffset / NAME_BLOCK].get() + candidate.NameOffset % NAME_BLOCK;
    return index.Folders[candidate.Folder] + L"\\" + UnpackName(name) + index.NameEnd;
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
