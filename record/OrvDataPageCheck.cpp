#include "record/OrvDataPageCheck.h"

#include "record/OrvDataPage.h"

#include <cstring>

namespace OrvDataPage {

std::vector<std::string> checkStructure(const char* image) {
    if (image == nullptr) {
        return {"no page image"};
    }
    OrvPageHeader header;
    std::memcpy(&header, image, sizeof(header));
    return OrvDataPageView(image, 0, header.pageId).problems();
}

} // namespace OrvDataPage
