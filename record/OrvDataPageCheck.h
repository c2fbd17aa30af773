// Structure checker of data pages: verifies a page image against the layout
// of record/OrvDataPage.h (through OrvDataPageView, the one decoder of that
// layout) and reports every breach it finds. Used by
// the tests at their end (stress and crash tests included); it never
// changes the page.
//
// Reads the 4096 bytes of the image and nothing outside them, so a damaged
// image gives problems, never a crash. Takes no lock: call it while
// no other process changes the page.
#ifndef ORV_DATA_PAGE_CHECK_H
#define ORV_DATA_PAGE_CHECK_H

#include <string>
#include <vector>

namespace OrvDataPage {

// One line per problem found; empty when the page is sound. Checks:
// - the common header names a data page, the padding byte is zero;
// - every slot below numberOfSlots: a known type, zero padding; an empty
//   slot (offset and length 0) is PrimaryRecord; a record (primary or
//   secondary) has both offset and length set and lies between the end of
//   the directory and the end of the page; a placeholder names a data page
//   (not 0, not an inventory page, not 65535) and a slot id below 255 in the
//   low byte of its length field;
// - no two records overlap;
// - the free space fields are plausible: freeSpace at most 4064 bytes, the
//   largest block not larger than freeSpace and inside the page. (They may
//   lag behind the directory between a page-local operation and the
//   caller's update, so they are not compared with the directory.)
// - when all of the above holds: the free space computed from the directory
//   is not below the largest free block computed from it (a record lying in
//   the room reserved for the next slot breaks that).
std::vector<std::string> checkStructure(const char* image);

} // namespace OrvDataPage

#endif
