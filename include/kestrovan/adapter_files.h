// SPDX-License-Identifier: Apache-2.0
/* adapter_files.h -- an adapter's per-user files: its configuration folder,
 * reading a file only when nobody but its owner may have written it, and
 * writing a private file whole or not at all.
 */
#ifndef KESTROVAN_ADAPTER_FILES_H
#define KESTROVAN_ADAPTER_FILES_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The configuration folder of the adapter called name:
 * "$XDG_CONFIG_HOME/kestrovan/<name>" when that variable holds an absolute
 * path, else "$HOME/.config/kestrovan/<name>" (HOME from the password
 * database when unset). Returns its length, or 0 when no home folder can be
 * found or it does not fit in size (out then holds ""). */
size_t KestrovanFile_ConfigFolder(const char* name, char* out, size_t size);

/* What KestrovanFile_Read found. */
#define KESTROVAN_FILE_READ 0         /* *bytes holds the whole file */
#define KESTROVAN_FILE_CANNOT_OPEN 1  /* open failed (*error is its errno); a missing file too */
#define KESTROVAN_FILE_NOT_REGULAR 2
#define KESTROVAN_FILE_NOT_OWN 3      /* not owner's, or group or others may write it */
#define KESTROVAN_FILE_TOO_LARGE 4    /* more than maxBytes */
#define KESTROVAN_FILE_CANNOT_READ 5  /* a read failed (*error is its errno) */
#define KESTROVAN_FILE_NO_MEMORY 6

/* Reads a whole regular file of at most maxBytes, and, when owner is not
 * NULL, only one of *owner that group and others cannot write. Returns
 * KESTROVAN_FILE_*. With KESTROVAN_FILE_READ, *bytes is a fresh block of
 * *length bytes and one zero byte (release with free()); otherwise NULL and
 * 0. A FIFO in the file's place is refused, never waited on. */
int KestrovanFile_Read(const char* path, size_t maxBytes, const uid_t* owner, char** bytes, size_t* length,
                       int* error);

/* What a KESTROVAN_FILE_* other than KESTROVAN_FILE_READ means, as words
 * that follow the file's name ("may be written by another user"). */
const char* KestrovanFile_ReadProblem(int status);

/* The step of KestrovanFile_WritePrivate that failed. */
#define KESTROVAN_WRITE_DONE 0
#define KESTROVAN_WRITE_CREATE 1       /* the temporary file beside path */
#define KESTROVAN_WRITE_WRITE 2        /* writing the bytes */
#define KESTROVAN_WRITE_SYNC 3         /* flushing the file to disk */
#define KESTROVAN_WRITE_CLOSE 4
#define KESTROVAN_WRITE_RENAME 5       /* putting it in path's place */
#define KESTROVAN_WRITE_SYNC_FOLDER 6  /* flushing the folder's new entry */

/* Writes length bytes as the file path, so that a reader sees the old file
 * or the new one whole: a temporary file beside it, mode 0600 from its
 * creation, written in full (interrupted and short writes go on), flushed,
 * renamed over path, and the folder flushed. Returns KESTROVAN_WRITE_DONE,
 * or the step that failed with its errno in *error; nothing but path's old
 * file is left then (the folder flush failing leaves the new one). */
int KestrovanFile_WritePrivate(const char* path, const void* data, size_t length, int* error);

/* The step's name ("write", "rename", ...), for messages. */
const char* KestrovanFile_WriteStepName(int step);

#ifdef __cplusplus
}
#endif

#endif
