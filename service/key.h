// key.h -- the server certificate (read from the user's home folder) and the
// server's private key (carried sealed inside the program, opened here).
#ifndef KESTROVAN_SERVICE_KEY_H
#define KESTROVAN_SERVICE_KEY_H

#include <optional>
#include <string>

// Appends the file's content to out, less every carriage return. 0 when the
// file was read, -1 when it cannot be opened.
int KestrovanReadFile(const char* path, std::string& out);

// The certificate text at path (printed once), or none when it cannot be read.
std::optional<std::string> KestrovanParseCert(const char* path);

// The private key as PEM text, or null. Release it with freeKey.
char* getKey();
// Wipes and frees what getKey returned; null is fine.
void freeKey(char* key);

// The opening key of the sealed block as 64 hexadecimal characters, rebuilt
// from the obfuscated table; null when it cannot be made (no memory, or the
// process was paused while it was being rebuilt). Release with freeSecret.
char* KestrovanKeyGuard_openingKey();

#endif
