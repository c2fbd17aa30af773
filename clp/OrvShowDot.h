// Pictures of an integer B-tree and of a slotted data page in Graphviz's DOT
// language, for orvshow --dot.
//
// These writers live with the program, not in the engine library: they read
// the pages through the public buffer manager and decode them with the same
// bounds-checked views the engine uses (OrvIndexPageView, OrvDataPageView),
// so they need no private access and add nothing to liborv.a.
//
// Locks and fixes: each writer first takes a shared lock on the whole
// segment (a transaction lock, so the caller runs it inside a transaction
// and ends that transaction afterwards). No other transaction can change the
// tree or the page while it is drawn, so the picture is one consistent
// state; a writer that holds an exclusive lock makes the drawing wait (up to
// the lock time-out, then ORV_LM_LOCK_TIME_OUT). Every page is fixed only
// while its fields are copied out, so at most one fix is held at a time and
// none is left when a writer returns or throws.
//
// Damaged pages: the views refuse what they cannot decode (OrvException);
// a page met twice while walking a tree (a cycle) is ORV_INTERNAL_FAIL.
//
// Per process and single-threaded, like every engine object.
#ifndef ORV_SHOW_DOT_H
#define ORV_SHOW_DOT_H

#include "OrvTypes.h"

#include <ostream>
#include <string>

namespace orvshow {

struct DotLimits {
    // Levels of a tree drawn page by page (the root is level 1); the
    // subtrees below are drawn as one box each with their page, leaf and key
    // counts. At least 1.
    Uint32 treeDepth = 3;
    // Entries shown per tree page: a page with more shows the first and the
    // last half of them and one field that counts the rest. Children behind
    // the hidden entries are drawn as one box with their counts.
    Uint32 keysPerPage = 24;
    // Bytes of a record shown in a page picture.
    Uint32 recordBytes = 32;
};

// The tree of the index in `segment` (its root is page 1): inner nodes with
// their separators, leaves with their key range and keys, the leaf chain.
// `title` heads the picture.
void writeTreeDot(std::ostream& os, SegmentId segment, const std::string& title,
                  const DotLimits& limits);

// Data page `pageId` of the table in `segment`: header, slot directory,
// records (primary, secondary), placeholders pointing to the secondary
// slots of their moved records, and the free space, with a map of the
// page's bytes in offset order.
void writePageDot(std::ostream& os, SegmentId segment, PageId pageId, const DotLimits& limits);

// Text made safe for an HTML-like DOT label: markup characters become
// entities, bytes outside printable ASCII become '.'.
std::string htmlText(const std::string& text);

} // namespace orvshow

#endif
