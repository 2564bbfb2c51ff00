#include "duplication/pixel_path.h"

#include "platform/pixel_path.h"

namespace vistrel {

std::string pixel_path_of(IDXGIObject* object) {
    char name[32] = {};
    UINT size = sizeof name;
    if (FAILED(object->GetPrivateData(kPixelPathData, &size, name)) || size == 0) return "staging-texture";
    return std::string(name, size - 1);
}

}  // namespace vistrel
