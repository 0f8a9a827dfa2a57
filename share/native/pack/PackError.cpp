#include "PackError.h"

namespace pack {

std::string describeReason(Reason reason, const std::string& systemText) {
    switch (reason) {
    case Reason::NotFound:
        return "it does not exist";
    case Reason::FolderMissing:
        return "its folder does not exist";
    case Reason::IsDirectory:
        return "it is a directory";
    case Reason::AccessDenied:
        return "access is denied";
    case Reason::InUse:
        return "another program is using it";
    case Reason::DiskFull:
        return "the disk is full";
    case Reason::Other:
        break;
    }
    return systemText;
}

} // namespace pack
