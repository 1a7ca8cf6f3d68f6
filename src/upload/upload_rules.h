#pragma once
// What the upload endpoint takes: a whole file of 1 byte to 64 MiB, sent in one piece.

enum { kUploadMaxBytes = 64 * 1024 * 1024 };  // 67,108,864 bytes, inclusive: bounds the one heap block we hold

// 1 when a measured file size may be sent. The size is a signed file position, so a failed ftell (-1) is refused.
int UploadSizeAllowed(long size);
