// The trim index on its own: the order of its walk, the paths it gives back, its clearing.
#include <gtest/gtest.h>

#include "cache/trim_index.h"

namespace {

// Walks the whole index; each entry's Size holds the number of its insertion.
std::vector<const TrimCandidate*> WalkAll(TrimIndex& index)
{
    std::vector<const TrimCandidate*> order;
    TrimWalk walk;
    StartOldestFirst(index, walk);
    while (const TrimCandidate* next = NextOldest(index, walk))
        order.push_back(next);
    EXPECT_EQ(NextOldest(index, walk), nullptr) << "an ended walk stays ended";
    return order;
}

// Inserts count entries whose times repeat out of order, so that ties meet across blocks.
void FillShuffled(TrimIndex& index, size_t count)
{
    uint32_t folder = AddTrimFolder(index, L"C:\\cache");
    for (size_t i = 0; i < count; ++i)
        AddTrimCandidate(index, folder, L"f", (i * 7919) % 1000, static_cast<int64_t>(i));
}

void ExpectOldestFirstTiesInInsertionOrder(const std::vector<const TrimCandidate*>& order, size_t count)
{
    ASSERT_EQ(order.size(), count);
    std::vector<bool> seen(count);
    for (size_t i = 0; i < order.size(); ++i) {
        ASSERT_FALSE(seen[order[i]->Size]) << "entry " << order[i]->Size << " came twice";
        seen[order[i]->Size] = true;
        if (i == 0)
            continue;
        ASSERT_LE(order[i - 1]->LastUse, order[i]->LastUse) << "at " << i;
        if (order[i - 1]->LastUse == order[i]->LastUse) {
            ASSERT_LT(order[i - 1]->Size, order[i]->Size) << "tie at " << i;
        }
    }
}

}  // namespace

TEST(TrimIndex, WalksOldestFirstAcrossBlocksWithTiesInInsertionOrder)
{
    // Empty, one entry, one block exactly full, one over, and several blocks.
    for (size_t count : {0, 1, 8192, 8193, 30000}) {
        TrimIndex index;
        FillShuffled(index, count);
        EXPECT_EQ(index.Count, count);
        ExpectOldestFirstTiesInInsertionOrder(WalkAll(index), count);
    }

    // The oldest entry sits last in the last block, the newest first in the first.
    TrimIndex index;
    uint32_t folder = AddTrimFolder(index, L"C:\\cache");
    AddTrimCandidate(index, folder, L"newest", UINT64_MAX, 0);
    for (int i = 1; i < 20000; ++i)
        AddTrimCandidate(index, folder, L"f", 5000 + i % 3, i);
    AddTrimCandidate(index, folder, L"oldest", 1, 20000);
    std::vector<const TrimCandidate*> order = WalkAll(index);
    ExpectOldestFirstTiesInInsertionOrder(order, 20001);
    EXPECT_EQ(TrimCandidatePath(index, *order.front()), L"C:\\cache\\oldest");
    EXPECT_EQ(TrimCandidatePath(index, *order.back()), L"C:\\cache\\newest");
}

TEST(TrimIndex, GivesBackEachPathAsItsFolderABackslashAndItsName)
{
    TrimIndex index;
    const std::wstring folders[] = {L"C:\\cache", L"C:\\cache\\a b", L"\\\\server\\share\\c\u00e9"};
    for (const std::wstring& folder : folders)
        AddTrimFolder(index, folder);
    // Long names fill a name block every few hundred entries, so that names end blocks and
    // begin the next ones.
    std::vector<std::wstring> expected;
    for (int i = 0; i < 3000; ++i) {
        std::wstring name = std::to_wstring(i) + std::wstring(i % 255, L"x\u0436.~"[i % 4]);
        if (name.size() > 255)
            name.resize(255);
        AddTrimCandidate(index, i % 3, name.c_str(), 3000 - i, i);
        expected.push_back(folders[i % 3] + L"\\" + name);
    }
    std::vector<const TrimCandidate*> order = WalkAll(index);
    ASSERT_EQ(order.size(), expected.size());
    for (const TrimCandidate* candidate : order)
        ASSERT_EQ(TrimCandidatePath(index, *candidate), expected[candidate->Size]);
    EXPECT_EQ(TrimCandidatePath(index, *order.front()), expected.back());
}

TEST(TrimIndex, ClearingEmptiesItForTheNextPass)
{
    TrimIndex index;
    FillShuffled(index, 10000);
    ASSERT_GT(index.EntryBlocks.capacity(), 0u);
    ClearTrimIndex(index);
    EXPECT_EQ(index.Count, 0u);
    EXPECT_EQ(index.NameUsed, 0u);
    // Given back, not only emptied: a pass over a large cache must not hold its memory between passes.
    EXPECT_EQ(index.Folders.capacity(), 0u);
    EXPECT_EQ(index.EntryBlocks.capacity(), 0u);
    EXPECT_EQ(index.NameBlocks.capacity(), 0u);
    EXPECT_TRUE(WalkAll(index).empty());

    uint32_t folder = AddTrimFolder(index, L"D:\\next");
    EXPECT_EQ(folder, 0u);
    AddTrimCandidate(index, folder, L"b", 2, 1);
    AddTrimCandidate(index, folder, L"a", 1, 0);
    std::vector<const TrimCandidate*> order = WalkAll(index);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(TrimCandidatePath(index, *order[0]), L"D:\\next\\a");
    EXPECT_EQ(TrimCandidatePath(index, *order[1]), L"D:\\next\\b");
}

TEST(TrimIndex, NamesComeBackExactlyHoweverTheyAreWritten)
{
    const std::wstring names[] = {L"ARdTA4r73IQzZmY7LGFAdg==", L"caf\u00e9 \u043a\u044d\u0448 \u7f13\u5b58",
                                  L"\U0001F600 smile", std::wstring(L"lone ") + wchar_t(0xD800) + L" high",
                                  std::wstring(L"lone ") + wchar_t(0xDC00) + L" low", std::wstring(255, L'n')};
    TrimIndex index;
    uint32_t folder = AddTrimFolder(index, L"C:\\cache");
    for (const std::wstring& name : names)
        AddTrimCandidate(index, folder, name.c_str(), 1, 1);
    TrimWalk walk;
    StartOldestFirst(index, walk);
    for (const std::wstring& name : names) {
        const TrimCandidate* next = NextOldest(index, walk);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(TrimCandidatePath(index, *next), L"C:\\cache\\" + name);
    }
    // ASCII takes a byte a character.
    EXPECT_EQ(PackName(L"ARdTA4r73IQzZmY7LGFAdg==").size(), 24u);
}
