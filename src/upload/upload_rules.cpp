#include "upload/upload_rules.h"

int UploadSizeAllowed(long size) {
    return size >= 1 && size <= (long)kUploadMaxBytes;
}
