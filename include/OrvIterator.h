// The engine's iterators share this interface: the table scan
// (OrvRecordIterator) and, later, the index iterator.
//
// Per process and single-threaded, like every engine object.
#ifndef ORV_ITERATOR_H
#define ORV_ITERATOR_H

#include "OrvErrorCodes.h"

class OrvIterator {
public:
    virtual ~OrvIterator() = default;
    // True while there is something more to hand out: a next element, or a
    // failure that the next call of the derived class's getNext reports.
    virtual bool hasNext() = 0;
    // Back to the state after construction; ORV_SUCCESS.
    virtual OrvErrorCode reset() = 0;

protected:
    OrvIterator() = default;
    OrvIterator(const OrvIterator&) = default;
    OrvIterator& operator=(const OrvIterator&) = default;
};

#endif
