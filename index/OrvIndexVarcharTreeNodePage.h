// The inner node page kind of varchar indexes.
//
// Its separators are Sint32 values, as in the integer node: no text
// separator exists in the format, so the varchar tree never builds a node
// (it stays a single leaf, index/OrvIndexVarcharTreeLeafPage.h). The kind
// exists so that a node image met in a varchar segment is read inside its
// page, and changed, if ever, by logged changes under an exclusive lock.
//
// Process safety as for the other tree pages (index/OrvIndexTreePage.h).
#ifndef ORV_INDEX_VARCHAR_TREE_NODE_PAGE_H
#define ORV_INDEX_VARCHAR_TREE_NODE_PAGE_H

#include "OrvBuffer.h"
#include "OrvIndexKey.h"
#include "OrvTypes.h"
#include "index/OrvIndexTreePage.h"

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

// The header of a varchar inner node page (20 bytes); entries follow.
//
//   offset  size   field
//   0       2      pageId      common page header (its first 8 bytes only)
//   2       2      padding
//   4       4      pageType    BTreeIndexPage
//   8       1      isLeaf      0
//   9       1      padding
//   10      2      spaceLeft   509 - number of entries
//   12      2      prevId
//   14      2      nextId
//   16      2      firstChild
//   18      2      padding
//   20      8*509  entries     OrvIndexIntegerKey, of which only the first
//                              6 bytes are written
//
// 509 entries fit behind byte 20 (the last one ends at byte 4092); a 510th
// would run past the page, so the counter counts down from 509.
struct OrvIndexVarcharNodeHeader {
    PageId pageId;
    Uint16 padding;
    OrvPage::PageType pageType;
    Uint8 isLeaf;
    Uint8 padding2;
    Uint16 spaceLeft;
    PageId prevId;
    PageId nextId;
    PageId firstChild;
    Uint16 padding3;
};

static_assert(sizeof(OrvIndexVarcharNodeHeader) == 20, "the varchar node header takes 20 bytes");
static_assert(offsetof(OrvIndexVarcharNodeHeader, isLeaf) == 8, "isLeaf at byte 8");
static_assert(offsetof(OrvIndexVarcharNodeHeader, spaceLeft) == 10, "spaceLeft at byte 10");
static_assert(offsetof(OrvIndexVarcharNodeHeader, prevId) == 12, "prevId at byte 12");
static_assert(offsetof(OrvIndexVarcharNodeHeader, nextId) == 14, "nextId at byte 14");
static_assert(offsetof(OrvIndexVarcharNodeHeader, firstChild) == 16, "firstChild at byte 16");
static_assert(std::is_trivially_copyable<OrvIndexVarcharNodeHeader>::value, "copied as bytes");

namespace OrvIndexVarchar {
constexpr Uint32 NODE_ENTRIES = sizeof(OrvIndexVarcharNodeHeader);
constexpr Uint16 NODE_CAPACITY = 509;
static_assert(NODE_ENTRIES + OrvIndexPage::ENTRY_SIZE * (NODE_CAPACITY - 1) +
                      OrvIndexPage::NODE_ENTRY_BYTES <=
                  ORV_PAGE_SIZE,
              "the last node entry stays inside the page");
static_assert(NODE_ENTRIES + OrvIndexPage::ENTRY_SIZE * NODE_CAPACITY +
                      OrvIndexPage::NODE_ENTRY_BYTES >
                  ORV_PAGE_SIZE,
              "a 510th node entry would run past the page");
} // namespace OrvIndexVarchar

// A view of a varchar node image. A flag other than 0 and a counter beyond
// the capacity are ORV_INTERNAL_FAIL; so are positions beyond the entries.
class OrvIndexVarcharNodeView {
public:
    explicit OrvIndexVarcharNodeView(const char* image);

    PageId pageId() const;
    Uint16 numElements() const;
    bool isFull() const { return numElements() >= OrvIndexVarchar::NODE_CAPACITY; }
    PageId prevId() const;
    PageId nextId() const;
    PageId firstChild() const;
    Sint32 valueAt(Uint16 pos) const;
    PageId childAt(Uint16 pos) const;
    // The child of the last entry, firstChild for an empty node.
    PageId lastChild() const;
    // The first position whose value is >= value (numElements when none).
    Uint16 lowerBound(Sint32 value) const;

    // One line per breach (flag, counter, order of the separators); empty
    // for a sound node. Never throws.
    std::vector<std::string> problems() const;

protected:
    // With checkFlag false, for a writer that lays out a new node.
    OrvIndexVarcharNodeView(const char* image, bool checkFlag);
    Uint16 readU16(Uint32 offset) const;

    const char* bytes;
};

class OrvIndexVarcharNodeWriter : public OrvIndexVarcharNodeView {
public:
    // Over any page image, for init(); the other operations REQUIRE a node
    // image (existing() checks it first).
    explicit OrvIndexVarcharNodeWriter(char* image);
    static OrvIndexVarcharNodeWriter existing(char* image);

    // An empty node: isLeaf 0, spaceLeft 509, links and firstChild 0.
    void init();
    void setPrevId(PageId id);
    void setNextId(PageId id);
    void setFirstChild(PageId id);
    // ORV_INTERNAL_FAIL when the node is full or pos is beyond the entries.
    void insertAt(Uint16 pos, Sint32 value, PageId child);
    void removeAt(Uint16 pos);

private:
    void writeU16(Uint32 offset, Uint16 value);

    char* writable;
};

// The handle of one fixed varchar node page; every change is a logged change
// (VARCHAR_OPERATION) under an exclusive page lock, without an LSN.
class OrvIndexVarcharTreeNodePage : public OrvIndexTreePage {
public:
    using OrvIndexTreePage::insert;
    using OrvIndexTreePage::OrvIndexTreePage;

    OrvIndexVarcharNodeView nodeView() const { return OrvIndexVarcharNodeView(image()); }

    bool isLeaf() const override { return false; }
    bool isFull() const override { return nodeView().isFull(); }
    Uint16 numElements() const override { return nodeView().numElements(); }
    Uint16 spaceLeft() const override {
        return Uint16(OrvIndexVarchar::NODE_CAPACITY - numElements());
    }
    PageId nextId() const override { return nodeView().nextId(); }
    PageId prevId() const override { return nodeView().prevId(); }
    // INTEGER keys holding the separator.
    OrvIndexKey getValueAt(Uint16 pos) const override;
    OrvIndexKey getLastValue() const override;
    // The first position holding key.intKey, or 0xFFFF.
    Uint16 findKeyPosition(const OrvIndexKey& key) const override;

    void setNextId(PageId id) override;
    void setPrevId(PageId id) override;

    // Inserts the separator (key.intKey, bigger) in front of the entries
    // not below it (an empty node takes smaller as its firstChild). False,
    // nothing changed, when the node is full; ORV_PARAMETER_FAIL for a key
    // that is not INTEGER.
    bool insert(PageId smaller, const OrvIndexKey& key, PageId bigger);
    bool deleteKeyAt(Uint16 pos) override;
    PageId getFirstChild() const { return nodeView().firstChild(); }
    PageId getLastChild() const { return nodeView().lastChild(); }
    void setFirstChild(PageId id);

    // "INNER NODE > SegmentId: ..., PageId: ..., SpaceLeft: ..., FirstChild:
    // ..., PrevId: ..., NextId: ...", then with full one line per entry.
    void dump(bool full) const;

protected:
    void checkAfterImage(const char* image) const override;
};

#endif
