// Local copies of remote logs.
#ifndef VORNIC_NETWORK_REMOTE_LOGS_H
#define VORNIC_NETWORK_REMOTE_LOGS_H

namespace vrn {

// Deletes the files named in a download list file (full path), the list
// itself and the download folder.
void DeleteDownloadedFiles(const char* listPath);

}  // namespace vrn

#endif
