#pragma once
// Sends the whole file as one HTTPS POST to the upload endpoint; the outcome goes to the status line.
void UploadDiagnosticsFile(const char* path, const char* tag);
