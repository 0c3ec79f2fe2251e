// Utility library: whole-file operations, clock and tick timers, ASCII
// string helpers, a logging allocator and value packers. Plain functions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>
#include <sys/time.h>

// ---- files -----------------------------------------------------------------
int UF_FileExist(const char* path);
long UF_FileSize(const char* path);
// Whole file into a new buffer of size + 1 (terminated); caller frees. Null on failure.
char* UF_FileLoad(const char* path, long* length);
long UF_FileRead(const char* path, char* buffer, long size);
long UF_FileReadAt(const char* path, long offset, char* buffer, long size);
// mode > 0 append (create), 0 create/truncate, < 0 truncate without create.
long UF_FileSave(const char* path, const void* data, long length, int mode);
long UF_FileSaveOffset(const char* path, long offset, const void* data, long length);
// Reads or writes exactly length bytes of an open file at offset at,
// retrying short transfers and EINTR; 0 when the file ends or fails first.
int UF_ReadAt(int fd, void* data, size_t length, off_t at);
int UF_WriteAt(int fd, const void* data, size_t length, off_t at);
// Destination, then source paths, ending with nullptr. Bytes written, or negative.
long UF_FileCopy(const char* destination, ...);
long UF_FileCompare(const char* pathA, const char* pathB);
long UF_FilePrint(const char* path, int mode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Fixed names in shared directories (/tmp) are opened without following a
// symbolic link. With O_CREAT and O_TRUNC the name is created fresh: any
// existing entry is unlinked and the file is made with O_EXCL.
int UF_OpenNoFollow(const char* path, int flags, mode_t mode);
FILE* UF_FOpenNoFollow(const char* path, const char* fopenMode, mode_t mode);
// Replaces path whole: writes "<path>.tmp" (mode), flushes, fsyncs and renames
// it over path. 1 on success; on failure the old file stays and 0 is returned.
int UF_FileReplace(const char* path, const void* data, size_t length, mode_t mode);
// Same through a stream: UF_ReplaceBegin opens the temporary file,
// UF_ReplaceCommit flushes, fsyncs, closes and renames (or discards when ok is 0).
FILE* UF_ReplaceBegin(const char* path, mode_t mode);
int UF_ReplaceCommit(FILE* f, const char* path, int ok);

// ---- clock and tick timers -------------------------------------------------
unsigned long UF_TimerInit(unsigned long rate);
unsigned long UF_TickRate();
unsigned long UF_Ticks();
unsigned long UF_Seconds();
long UF_TickDiff(unsigned long earlier, unsigned long later);
int UF_TickElapsed(unsigned long start, long n);
void UF_TickDeadline(struct timespec* out, long n);
long UF_TimeDiffMs(const struct timeval* a, const struct timeval* b);
unsigned long UF_ReadUptime();
unsigned long UF_EvalUptime(unsigned long rate);
unsigned long UF_Uptime();
unsigned long UF_UptimeAt(unsigned long rate);
int UF_SetClock(int year, int month, int day, int hour, int minute, int second);

// ---- strings ---------------------------------------------------------------
void UF_StrUpper(char* text);
int UF_StrLower(char* text);
int UF_StrCaseCmp(const char* a, const char* b);
int UF_StrNCaseCmp(const char* a, const char* b, int n);
const char* UF_StrCaseStr(const char* text, const char* part);
int UF_StrTrim(char* text);
void UF_StrCopy(char* destination, const char* source);
char* UF_StrDup(const char* text);
int UF_StrSplit(char* text, const char* separators, int most, char** tokens);

// ---- debugging allocator ---------------------------------------------------
void* UF_DebugMalloc(const char* logPath, const char* source, int line, size_t size);
void UF_DebugFree(const char* logPath, const char* source, int line, void* pointer);

// ---- value packers ---------------------------------------------------------
int UF_PackValues(uint8_t* out, const long* values, int count, int layout);
int UF_UnpackValues(long* out, const uint8_t* bytes, int count, int layout);
