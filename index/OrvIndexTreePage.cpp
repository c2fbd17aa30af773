#include "index/OrvIndexTreePage.h"

#include "OrvException.h"
#include "OrvTransaction.h"
#include "index/OrvIndexVarcharTreeLeafPage.h"
#include "index/OrvIndexVarcharTreeNodePage.h"
#include "log/OrvIndexLogEntry.h"
#include "support/OrvTrace.h"

#include <cstring>

using namespace OrvIndexPage;

namespace {

constexpr Uint32 IS_LEAF = 16;
constexpr Uint32 SPACE_LEFT = 18;
constexpr Uint32 PREV_ID = 20;
constexpr Uint32 NEXT_ID = 22;
constexpr Uint32 FIRST_CHILD = 24;

static_assert(offsetof(OrvIndexIntegerNodeHeader, isLeaf) == IS_LEAF, "offset table");
static_assert(offsetof(OrvIndexIntegerLeafHeader, spaceLeft) == SPACE_LEFT, "offset table");
static_assert(offsetof(OrvIndexIntegerNodeHeader, prevId) == PREV_ID, "offset table");
static_assert(offsetof(OrvIndexIntegerLeafHeader, nextId) == NEXT_ID, "offset table");
static_assert(offsetof(OrvIndexIntegerNodeHeader, firstChild) == FIRST_CHILD, "offset table");

Sint32 readValue(const char* bytes, Uint32 offset) {
    Sint32 value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

} // namespace

// ---- OrvIndexPageView --------------------------------------------------------

OrvIndexPageView::OrvIndexPageView(const char* image) : bytes(image) {
    if (image == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
}

Uint16 OrvIndexPageView::readU16(Uint32 offset) const {
    Uint16 value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

PageId OrvIndexPageView::pageId() const {
    return readU16(offsetof(OrvPageHeader, pageId));
}

bool OrvIndexPageView::isLeaf() const {
    const Uint8 flag = static_cast<Uint8>(bytes[IS_LEAF]);
    if (flag > 1) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return flag == 1;
}

Uint16 OrvIndexPageView::capacity() const {
    return isLeaf() ? LEAF_CAPACITY : NODE_CAPACITY;
}

Uint16 OrvIndexPageView::numElements() const {
    const Uint16 spaceLeft = readU16(SPACE_LEFT);
    if (spaceLeft > ENTRY_SLOTS || ENTRY_SLOTS - spaceLeft > capacity()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return static_cast<Uint16>(ENTRY_SLOTS - spaceLeft);
}

PageId OrvIndexPageView::prevId() const {
    return readU16(PREV_ID);
}

PageId OrvIndexPageView::nextId() const {
    return readU16(NEXT_ID);
}

PageId OrvIndexPageView::firstChild() const {
    if (isLeaf()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return readU16(FIRST_CHILD);
}

PageId OrvIndexPageView::childAt(int pos) const {
    if (pos < 0) {
        return firstChild();
    }
    if (isLeaf() || pos >= numElements()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return readU16(entryOffset(static_cast<Uint16>(pos)) + offsetof(OrvIndexIntegerKey, nextChild));
}

PageId OrvIndexPageView::lastChild() const {
    return childAt(int(numElements()) - 1);
}

Uint32 OrvIndexPageView::entryOffset(Uint16 pos) const {
    return (isLeaf() ? LEAF_ENTRIES : NODE_ENTRIES) + ENTRY_SIZE * pos;
}

Sint32 OrvIndexPageView::valueAt(Uint16 pos) const {
    if (pos >= numElements()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return readValue(bytes, entryOffset(pos));
}

TupleId OrvIndexPageView::tupleAt(Uint16 pos) const {
    if (!isLeaf() || pos >= numElements()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint32 offset = entryOffset(pos) + offsetof(OrvIndexIntegerTupleIdentifier, tupleId);
    TupleId tid;
    tid.page = readU16(offset + offsetof(TupleId, page));
    tid.slot = static_cast<SlotId>(bytes[offset + offsetof(TupleId, slot)]);
    return tid;
}

Uint16 OrvIndexPageView::lowerBound(Sint32 key) const {
    // The count is checked once; the loop reads only positions below it.
    const Uint32 base = isLeaf() ? LEAF_ENTRIES : NODE_ENTRIES;
    Uint32 low = 0;
    Uint32 high = numElements();
    while (low < high) {
        const Uint32 mid = (low + high) / 2;
        if (readValue(bytes, base + ENTRY_SIZE * mid) < key) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return static_cast<Uint16>(low);
}

std::vector<std::string> OrvIndexPageView::problems() const {
    std::vector<std::string> lines;
    const Uint8 flag = static_cast<Uint8>(bytes[IS_LEAF]);
    if (flag > 1) {
        lines.push_back("isLeaf byte is " + std::to_string(flag));
        return lines;
    }
    const Uint16 spaceLeft = readU16(SPACE_LEFT);
    const Uint16 cap = flag == 1 ? LEAF_CAPACITY : NODE_CAPACITY;
    if (spaceLeft > ENTRY_SLOTS || ENTRY_SLOTS - spaceLeft > cap) {
        lines.push_back("spaceLeft " + std::to_string(spaceLeft) + " gives more entries than fit");
        return lines;
    }
    const Uint16 n = static_cast<Uint16>(ENTRY_SLOTS - spaceLeft);
    for (Uint16 i = 1; i < n; ++i) {
        if (valueAt(i - 1) > valueAt(i)) {
            lines.push_back("entry " + std::to_string(i) + " is smaller than the one before it");
        }
    }
    if (flag == 0) {
        // A fresh node has no child yet; a node with separators must.
        if (n > 0 && readU16(FIRST_CHILD) == 0) {
            lines.push_back("node without firstChild");
        }
        for (Uint16 i = 0; i < n; ++i) {
            if (childAt(i) == 0) {
                lines.push_back("entry " + std::to_string(i) + " has child 0");
            }
        }
    }
    return lines;
}

// ---- OrvIndexPageWriter ------------------------------------------------------

OrvIndexPageWriter::OrvIndexPageWriter(char* image) : OrvIndexPageView(image), writable(image) {}

void OrvIndexPageWriter::writeU16(Uint32 offset, Uint16 value) {
    std::memcpy(writable + offset, &value, sizeof value);
}

void OrvIndexPageWriter::setNumElements(Uint16 count) {
    if (count > capacity()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    writeU16(SPACE_LEFT, static_cast<Uint16>(ENTRY_SLOTS - count));
}

void OrvIndexPageWriter::initLeaf() {
    writable[IS_LEAF] = 1;
    writable[IS_LEAF + 1] = 0;
    writeU16(SPACE_LEFT, ENTRY_SLOTS);
    writeU16(PREV_ID, 0);
    writeU16(NEXT_ID, 0);
}

void OrvIndexPageWriter::initNode() {
    writable[IS_LEAF] = 0;
    writable[IS_LEAF + 1] = 0;
    writeU16(SPACE_LEFT, ENTRY_SLOTS);
    writeU16(PREV_ID, 0);
    writeU16(NEXT_ID, 0);
    writeU16(FIRST_CHILD, 0);
    writeU16(FIRST_CHILD + 2, 0);
}

void OrvIndexPageWriter::setPrevId(PageId id) {
    writeU16(PREV_ID, id);
}

void OrvIndexPageWriter::setNextId(PageId id) {
    writeU16(NEXT_ID, id);
}

void OrvIndexPageWriter::setFirstChild(PageId id) {
    if (isLeaf()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    writeU16(FIRST_CHILD, id);
}

void OrvIndexPageWriter::insertLeafEntry(Uint16 pos, Sint32 value, const TupleId& tid) {
    const Uint16 n = numElements();
    if (!isLeaf() || n >= LEAF_CAPACITY || pos > n) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint32 at = entryOffset(pos);
    std::memmove(writable + at + ENTRY_SIZE, writable + at, ENTRY_SIZE * (n - pos));
    char entry[LEAF_ENTRY_BYTES] = {};
    std::memcpy(entry + offsetof(OrvIndexIntegerTupleIdentifier, value), &value, sizeof value);
    const Uint32 tidAt = offsetof(OrvIndexIntegerTupleIdentifier, tupleId);
    std::memcpy(entry + tidAt + offsetof(TupleId, page), &tid.page, sizeof tid.page);
    entry[tidAt + offsetof(TupleId, slot)] = static_cast<char>(tid.slot);
    std::memcpy(writable + at, entry, sizeof entry);
    setNumElements(static_cast<Uint16>(n + 1));
}

void OrvIndexPageWriter::insertNodeEntry(Uint16 pos, Sint32 value, PageId child) {
    const Uint16 n = numElements();
    if (isLeaf() || n >= NODE_CAPACITY || pos > n) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint32 at = entryOffset(pos);
    std::memmove(writable + at + ENTRY_SIZE, writable + at, ENTRY_SIZE * (n - pos));
    std::memcpy(writable + at + offsetof(OrvIndexIntegerKey, value), &value, sizeof value);
    std::memcpy(writable + at + offsetof(OrvIndexIntegerKey, nextChild), &child, sizeof child);
    setNumElements(static_cast<Uint16>(n + 1));
}

void OrvIndexPageWriter::removeEntries(Uint16 pos, Uint16 count) {
    const Uint16 n = numElements();
    if (pos > n || count > n - pos) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint32 at = entryOffset(pos);
    std::memmove(writable + at, writable + at + ENTRY_SIZE * count, ENTRY_SIZE * (n - pos - count));
    setNumElements(static_cast<Uint16>(n - count));
}

void OrvIndexPageWriter::moveTailFrom(OrvIndexPageWriter& source, Uint16 from) {
    const Uint16 sourceCount = source.numElements();
    const Uint16 n = numElements();
    if (source.isLeaf() != isLeaf() || from > sourceCount ||
        n + (sourceCount - from) > capacity()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint16 count = static_cast<Uint16>(sourceCount - from);
    std::memcpy(writable + entryOffset(n), source.writable + source.entryOffset(from),
                ENTRY_SIZE * count);
    setNumElements(static_cast<Uint16>(n + count));
    source.setNumElements(from);
}

// ---- OrvIndexTreePage --------------------------------------------------------

OrvIndexTreePage::OrvIndexTreePage(OrvScopedPage&& fixedPage, OrvDataType type)
    : page(std::move(fixedPage)), sId(0), pId(0), dataType(type) {
    if (page.getPage() == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    sId = page->getSegmentId();
    pId = page->getPageId();
}

OrvIndexTreePage::~OrvIndexTreePage() = default;

namespace {

// The kind flag of an existing page of the data type's kinds.
bool leafFlag(const char* bytes, OrvDataType dataType) {
    if (dataType == INTEGER) {
        return OrvIndexPageView(bytes).isLeaf();
    }
    const Uint8 flag = static_cast<Uint8>(bytes[OrvIndexVarchar::IS_LEAF]);
    if (flag > 1) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return flag == 1;
}

} // namespace

std::unique_ptr<OrvIndexTreePage> OrvIndexTreePage::get(SegmentId segment, PageId pageId,
                                                        OrvDataType dataType) {
    ORV_TRACE(IndexManager);
    if (dataType != INTEGER && dataType != VARCHAR) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    OrvScopedPage fixed(segment, pageId, OrvPage::BTreeIndexPage, OrvScopedPage::GetExistingPage);
    const bool leaf = leafFlag(fixed->getPageData(), dataType);
    return adopt(std::move(fixed), dataType, false, leaf);
}

std::unique_ptr<OrvIndexTreePage>
OrvIndexTreePage::adopt(OrvScopedPage&& fixed, OrvDataType dataType, bool newPage, bool leaf) {
    if ((dataType != INTEGER && dataType != VARCHAR) || fixed.getPage() == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    char* bytes = fixed->getPageData();
    if (dataType == VARCHAR) {
        if (newPage) {
            if (leaf) {
                OrvIndexVarcharLeafWriter(bytes).init();
            } else {
                OrvIndexVarcharNodeWriter(bytes).init();
            }
        } else if (leafFlag(bytes, dataType) != leaf) {
            ORV_THROW(ORV_INTERNAL_FAIL);
        }
        if (leaf) {
            return std::unique_ptr<OrvIndexTreePage>(
                new OrvIndexVarcharTreeLeafPage(std::move(fixed), dataType));
        }
        return std::unique_ptr<OrvIndexTreePage>(
            new OrvIndexVarcharTreeNodePage(std::move(fixed), dataType));
    }
    if (newPage) {
        OrvIndexPageWriter writer(bytes);
        if (leaf) {
            writer.initLeaf();
        } else {
            writer.initNode();
        }
    } else if (OrvIndexPageView(bytes).isLeaf() != leaf) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    if (leaf) {
        return std::unique_ptr<OrvIndexTreePage>(
            new OrvIndexTreeLeafPage(std::move(fixed), dataType));
    }
    return std::unique_ptr<OrvIndexTreePage>(new OrvIndexTreeNodePage(std::move(fixed), dataType));
}

const char* OrvIndexTreePage::image() const {
    if (page.getPage() == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return page->getPageData();
}

OrvIndexPageView OrvIndexTreePage::view() const {
    if (dataType != INTEGER) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return OrvIndexPageView(image());
}

std::vector<std::string> OrvIndexTreePage::imageProblems(const char* bytes, OrvDataType type) {
    if (type == INTEGER) {
        return OrvIndexPageView(bytes).problems();
    }
    if (type != VARCHAR) {
        return {"data type " + std::to_string(int(type)) + " has no tree pages"};
    }
    const Uint8 flag = static_cast<Uint8>(bytes[OrvIndexVarchar::IS_LEAF]);
    if (flag == 1) {
        return OrvIndexVarcharLeafView(bytes).problems();
    }
    if (flag == 0) {
        return OrvIndexVarcharNodeView(bytes).problems();
    }
    return {"isLeaf byte is " + std::to_string(flag)};
}

transType OrvIndexTreePage::operationType() const {
    return dataType == INTEGER ? INTEGER_OPERATION : VARCHAR_OPERATION;
}

void OrvIndexTreePage::checkAfterImage(const char* bytes) const {
    (void)OrvIndexPageView(bytes).numElements();
}

bool OrvIndexTreePage::insert(const OrvIndexKey&, const TupleId&) {
    return false;
}

bool OrvIndexTreePage::deleteKeyAt(Uint16) {
    return false;
}

bool OrvIndexTreePage::findTuple(const OrvIndexKey&, TupleId&) const {
    return false;
}

TupleId OrvIndexTreePage::getTupleAt(Uint16) const {
    return TupleId(0, 0);
}

OrvIndexKey OrvIndexTreePage::getValueAt(Uint16 pos) const {
    OrvIndexKey key;
    key.dataType = INTEGER;
    key.intKey = view().valueAt(pos);
    return key;
}

OrvIndexKey OrvIndexTreePage::getLastValue() const {
    const Uint16 n = numElements();
    if (n == 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    return getValueAt(static_cast<Uint16>(n - 1));
}

Uint16 OrvIndexTreePage::findKeyPosition(const OrvIndexKey& key) const {
    if (key.dataType != INTEGER) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const OrvIndexPageView v = view();
    const Uint16 pos = v.lowerBound(key.intKey);
    return pos < v.numElements() && v.valueAt(pos) == key.intKey ? pos : Uint16(0xFFFF);
}

void OrvIndexTreePage::setNextId(PageId id) {
    ORV_TRACE(IndexManager);
    loggedChange([&](OrvIndexPageWriter& writer) { writer.setNextId(id); });
}

void OrvIndexTreePage::setPrevId(PageId id) {
    ORV_TRACE(IndexManager);
    loggedChange([&](OrvIndexPageWriter& writer) { writer.setPrevId(id); });
}

void OrvIndexTreePage::lock(OrvLockManager::LockType type) {
    OrvLockManager::getInstance()->requestPage(sId, pId, type, false);
}

bool OrvIndexTreePage::tryLock(OrvLockManager::LockType type) {
    return OrvLockManager::getInstance()->tryRequestPage(sId, pId, type, false);
}

void OrvIndexTreePage::release() {
    discardChange();
    page.reset();
}

OrvScopedPage OrvIndexTreePage::takePage() {
    discardChange();
    return std::move(page);
}

char* OrvIndexTreePage::beforeWrite() {
    if (savedPageData != nullptr) {
        return workPageData.get();
    }
    const char* live = image();
    // The exclusive lock is normally held already (taken before the change
    // was decided); then the request is answered without the lock list.
    lock(OrvLockManager::ExclusiveLock);
    std::unique_ptr<char[]> saved(new char[ORV_PAGE_SIZE]);
    std::unique_ptr<char[]> work(new char[ORV_PAGE_SIZE]);
    std::memcpy(saved.get(), live, ORV_PAGE_SIZE);
    std::memcpy(work.get(), live, ORV_PAGE_SIZE);
    savedPageData = std::move(saved);
    workPageData = std::move(work);
    return workPageData.get();
}

OrvLsn OrvIndexTreePage::writeLogEntry(transType type) {
    ORV_TRACE(IndexManager);
    if (savedPageData == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    // The after image must still be a sound page of this id: a change that
    // broke it is refused before it reaches the log.
    if (OrvIndexPageView(workPageData.get()).pageId() != pId) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    checkAfterImage(workPageData.get());
    const PageId logged = pId;
    const OrvTransactionId transaction =
        logAs != nullptr ? *logAs : OrvTransactionManager::getInstance()->getCurrentTransactionID();
    OrvIndexLogEntry entry(transaction, &logged, sId, savedPageData.get(), int(ORV_PAGE_SIZE),
                           workPageData.get(), int(ORV_PAGE_SIZE), type);
    return OrvLogManager::getInstance()->createLogEntry(&entry);
}

void OrvIndexTreePage::applyChange(const OrvLsn& lsn) {
    if (workPageData == nullptr) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    std::memcpy(page->getPageData(), workPageData.get(), ORV_PAGE_SIZE);
    // Bytes 8 to 15 of a varchar page are its header: marked modified with
    // the dummy LSN, the buffer manager leaves the image as it is.
    const OrvLsn stamp = dataType == INTEGER ? lsn : OrvLsn::dummyLSN();
    OrvException::raise(page->markAsModified(stamp), "page->markAsModified(lsn)", __FILE__,
                        __LINE__, __PRETTY_FUNCTION__);
}

void OrvIndexTreePage::restoreBeforeImage() {
    if (savedPageData == nullptr || page.getPage() == nullptr) {
        return;
    }
    char* live = page->getPageData();
    std::memcpy(live, savedPageData.get(), ORV_PAGE_SIZE);
    if (dataType != INTEGER) {
        return; // no LSN in a varchar image
    }
    // The frame keeps the newest LSN; the image follows it, so that the page
    // never shows an LSN older than an entry written for it.
    const OrvLsn lsn = page->getLsn();
    std::memcpy(live + offsetof(OrvPageHeader, lsn), &lsn, sizeof lsn);
}

void OrvIndexTreePage::discardChange() {
    savedPageData.reset();
    workPageData.reset();
}

void OrvIndexTreePage::afterWrite(transType type) {
    OrvLsn lsn;
    try {
        lsn = writeLogEntry(type);
    } catch (...) {
        // Nothing reached the page: the working copy is dropped.
        discardChange();
        throw;
    }
    applyChange(lsn);
    discardChange();
}

void OrvIndexTreePage::replaceImage(const char* replacement, int length, transType type) {
    ORV_TRACE(IndexManager);
    if ((dataType != INTEGER && dataType != VARCHAR) || replacement == nullptr ||
        length != int(ORV_PAGE_SIZE)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    // Only the first 8 bytes of the common header: the rest is the varchar
    // header in a varchar image.
    OrvPageHeader header;
    std::memcpy(&header, replacement, sizeof header);
    if (header.pageId != pId || header.pageType != OrvPage::BTreeIndexPage) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    // A varchar handle is of one kind: an image of the other kind would
    // leave it reading the page with the wrong layout.
    if (!imageProblems(replacement, dataType).empty() ||
        (dataType == VARCHAR && (replacement[OrvIndexVarchar::IS_LEAF] == 1) != isLeaf())) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    std::memcpy(beforeWrite(), replacement, ORV_PAGE_SIZE);
    afterWrite(type);
}

Sint32 OrvIndexTreePage::split(OrvIndexTreePage& sibling, OrvIndexTreePage* after,
                               OrvIndexChangeSet& changes) {
    ORV_TRACE(IndexManager);
    if (dataType != INTEGER || sibling.dataType != INTEGER) {
        ORV_THROW(ORV_INTERNAL_FAIL); // varchar pages never split
    }
    // Checked on the working copies: a page may be part of the change already.
    OrvIndexPageWriter lower(changes.change(*this));
    OrvIndexPageWriter upper(changes.change(sibling));
    const PageId next = lower.nextId();
    if (&sibling == this || lower.isLeaf() != upper.isLeaf() || upper.numElements() != 0 ||
        lower.numElements() < 2 || (after == nullptr) != (next == 0) ||
        (after != nullptr && after->pageId() != next)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint16 mid = static_cast<Uint16>(lower.numElements() / 2);
    if (!lower.isLeaf()) {
        upper.setFirstChild(lower.childAt(mid - 1));
    }
    upper.moveTailFrom(lower, mid);
    upper.setNextId(next);
    upper.setPrevId(pId);
    lower.setNextId(sibling.pageId());
    if (after != nullptr) {
        OrvIndexPageWriter(changes.change(*after)).setPrevId(sibling.pageId());
    }
    return lower.valueAt(static_cast<Uint16>(mid - 1));
}

void OrvIndexTreePage::extractRoot(OrvIndexTreePage& target, Sint32 separator,
                                   OrvIndexTreePage& bigger, OrvIndexChangeSet& changes) {
    ORV_TRACE(IndexManager);
    if (dataType != INTEGER || target.dataType != INTEGER || !isRoot() || target.isRoot() ||
        bigger.isRoot() || target.numElements() != 0 || target.isLeaf() != isLeaf()) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    char* rootImage = changes.change(*this);
    char* targetImage = changes.change(target);
    // Everything behind the common header: kind, counter, links, entries.
    std::memcpy(targetImage + sizeof(OrvPageHeader), rootImage + sizeof(OrvPageHeader),
                ORV_PAGE_SIZE - sizeof(OrvPageHeader));
    OrvIndexPageWriter moved(targetImage);
    moved.setPrevId(0);
    if (moved.nextId() == bigger.pageId()) {
        OrvIndexPageWriter(changes.change(bigger)).setPrevId(target.pageId());
    }
    OrvIndexPageWriter root(rootImage);
    root.initNode();
    root.setFirstChild(target.pageId());
    root.insertNodeEntry(0, separator, bigger.pageId());
}

namespace {

transType recoveryType(OrvDataType dataType, bool undo) {
    if (dataType == INTEGER) {
        return undo ? INTEGER_UNDO : INTEGER_REDO;
    }
    if (dataType == VARCHAR) {
        return undo ? VARCHAR_UNDO : VARCHAR_REDO;
    }
    ORV_THROW(ORV_INTERNAL_FAIL);
}

} // namespace

void OrvIndexTreePage::undoOperation(const char* beforeImage, int length) {
    replaceImage(beforeImage, length, recoveryType(dataType, true));
}

void OrvIndexTreePage::undoOperation(const char* beforeImage, int length,
                                     const OrvTransactionId& transaction) {
    logAs = &transaction;
    try {
        replaceImage(beforeImage, length, recoveryType(dataType, true));
    } catch (...) {
        logAs = nullptr;
        throw;
    }
    logAs = nullptr;
}

void OrvIndexTreePage::redoOperation(const char* afterImage, int length) {
    replaceImage(afterImage, length, recoveryType(dataType, false));
}

// ---- leaves ----------------------------------------------------------------------

bool OrvIndexTreeLeafPage::insert(const OrvIndexKey& key, const TupleId& tid) {
    ORV_TRACE(IndexManager);
    if (key.dataType != INTEGER) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    if (isFull()) {
        return false;
    }
    const Uint16 pos = view().lowerBound(key.intKey);
    loggedChange([&](OrvIndexPageWriter& writer) { writer.insertLeafEntry(pos, key.intKey, tid); });
    return true;
}

bool OrvIndexTreeLeafPage::deleteKeyAt(Uint16 pos) {
    ORV_TRACE(IndexManager);
    if (pos >= numElements()) {
        return false;
    }
    loggedChange([&](OrvIndexPageWriter& writer) { writer.removeEntries(pos, 1); });
    return true;
}

bool OrvIndexTreeLeafPage::findTuple(const OrvIndexKey& key, TupleId& tid) const {
    const Uint16 pos = findKeyPosition(key);
    if (pos == 0xFFFF) {
        return false;
    }
    tid = view().tupleAt(pos);
    return true;
}

TupleId OrvIndexTreeLeafPage::getTupleAt(Uint16 pos) const {
    const OrvIndexPageView v = view();
    return pos < v.numElements() ? v.tupleAt(pos) : TupleId(0, 0);
}

// ---- nodes -------------------------------------------------------------------------

bool OrvIndexTreeNodePage::insert(PageId smaller, const OrvIndexKey& key, PageId bigger) {
    ORV_TRACE(IndexManager);
    if (key.dataType != INTEGER || smaller == 0 || bigger == 0) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const OrvIndexPageView v = view();
    if (v.isFull()) {
        return false;
    }
    const Uint16 n = v.numElements();
    int at = -2;
    if (n == 0) {
        at = -1;
    } else if (v.firstChild() == smaller) {
        at = -1;
    } else {
        for (Uint16 i = 0; i < n; ++i) {
            if (v.childAt(i) == smaller) {
                at = i;
                break;
            }
        }
    }
    if (at == -2) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    const Uint16 pos = static_cast<Uint16>(at + 1);
    // The separator must keep the entries in order.
    if ((pos > 0 && v.valueAt(pos - 1) > key.intKey) || (pos < n && v.valueAt(pos) < key.intKey)) {
        ORV_THROW(ORV_INTERNAL_FAIL);
    }
    loggedChange([&](OrvIndexPageWriter& writer) {
        if (n == 0) {
            writer.setFirstChild(smaller);
        }
        writer.insertNodeEntry(pos, key.intKey, bigger);
    });
    return true;
}

bool OrvIndexTreeNodePage::deleteKeyAt(Uint16 pos) {
    ORV_TRACE(IndexManager);
    if (pos >= numElements()) {
        return false;
    }
    loggedChange([&](OrvIndexPageWriter& writer) { writer.removeEntries(pos, 1); });
    return true;
}

void OrvIndexTreeNodePage::setFirstChild(PageId id) {
    ORV_TRACE(IndexManager);
    loggedChange([&](OrvIndexPageWriter& writer) { writer.setFirstChild(id); });
}

// ---- OrvIndexChangeSet -------------------------------------------------------

OrvIndexChangeSet::~OrvIndexChangeSet() {
    for (OrvIndexTreePage* page : pages) {
        page->discardChange();
    }
}

char* OrvIndexChangeSet::change(OrvIndexTreePage& page) {
    if (!page.changing()) {
        char* work = page.beforeWrite();
        pages.push_back(&page);
        return work;
    }
    return page.beforeWrite();
}

void OrvIndexChangeSet::commit(transType type) {
    ORV_TRACE(IndexManager);
    std::size_t applied = 0;
    try {
        for (OrvIndexTreePage* page : pages) {
            const OrvLsn lsn = page->writeLogEntry(type);
            ++applied; // restored too if marking it fails after the copy
            page->applyChange(lsn);
        }
    } catch (...) {
        while (applied > 0) {
            pages[--applied]->restoreBeforeImage();
        }
        for (OrvIndexTreePage* page : pages) {
            page->discardChange();
        }
        pages.clear();
        throw;
    }
    for (OrvIndexTreePage* page : pages) {
        page->discardChange();
    }
    pages.clear();
}
