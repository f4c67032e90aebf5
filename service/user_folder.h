// SPDX-License-Identifier: Apache-2.0
// user_folder.h -- the service's folder in the user's home and the files in
// it: the names the service, the provisioning command and the doctor share.
#ifndef KESTROVAN_SERVICE_USER_FOLDER_H
#define KESTROVAN_SERVICE_USER_FOLDER_H

// $HOME/NORTAKestrovan, made 0700 by provisioning.
#define KESTROVAN_USER_FOLDER_NAME "NORTAKestrovan"
// The server certificate the listeners present.
#define KESTROVAN_CERT_FILE_NAME "data.dat"
// The user's own local CA that signed it (public; browsers trust it).
#define KESTROVAN_CA_FILE_NAME "ca.pem"
// The user's own server key (0600).
#define KESTROVAN_KEY_FILE_NAME "key.pem"

#endif
