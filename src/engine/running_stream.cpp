#include "engine/running_stream.hpp"

namespace ov::engine {

bool is_live(const SourceKind& source) {
    return !std::holds_alternative<source::File>(source) && !std::holds_alternative<source::Images>(source);
}

}  // namespace ov::engine
