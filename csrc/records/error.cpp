#include "records/error.hpp"

namespace tovak::records {

std::string RecordError::message() const {
    switch (kind) {
        case ErrorKind::io: return io.text();
        case ErrorKind::invalid_utf8: return io::kInvalidUtf8Text;
        case ErrorKind::syntax: return syntax.text();
        case ErrorKind::missing: return "the pointer matches nothing";
        case ErrorKind::interrupted: break;
    }
    return "interrupted";
}

}  // namespace tovak::records
