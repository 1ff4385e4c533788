// Run-time binding of the stdio shim libmyutil.so (built by this project).
// Each function behaves like its standard namesake without the "my_" prefix.
// See LibModule.h for ownership, threads and failure.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

#include "LibModule.h"

// The shim's functions, in the order they are resolved.
#define QV_MYUTIL_FUNCTIONS(X)                                                                  \
  X(my_vsprintf) X(my_fprintf) X(my_snprintf) X(my_fopen) X(my_ftell) X(my_fread) X(my_fwrite)  \
  X(my_fseek) X(my_fclose) X(my_strtok) X(my_strtol) X(my_strtod)

// Typed by hand: the shim has no header of its own to take prototypes from.
struct TMyUtilFuncs {
  int (*my_vsprintf)(char *, const char *, va_list) = nullptr;
  int (*my_fprintf)(FILE *, const char *, ...) = nullptr;
  int (*my_snprintf)(char *, std::size_t, const char *, ...) = nullptr;
  FILE *(*my_fopen)(const char *, const char *) = nullptr;
  long (*my_ftell)(FILE *) = nullptr;
  std::size_t (*my_fread)(void *, std::size_t, std::size_t, FILE *) = nullptr;
  std::size_t (*my_fwrite)(const void *, std::size_t, std::size_t, FILE *) = nullptr;
  int (*my_fseek)(FILE *, long, int) = nullptr;
  int (*my_fclose)(FILE *) = nullptr;
  char *(*my_strtok)(char *, const char *) = nullptr;
  long (*my_strtol)(const char *, char **, int) = nullptr;
  double (*my_strtod)(const char *, char **) = nullptr;
};

extern TMyUtilFuncs MyUtilLib;

bool LoadMyUtil(std::string &AError, const std::string &AFolder);
void UnloadMyUtil();
bool MyUtilLoaded();
