/* SPDX-License-Identifier: MIT */
/* A framebuffer with an e-paper controller, for tests (glibc only).
 * Preloaded into a program (LD_PRELOAD, or qemu-user's -E LD_PRELOAD=...),
 * it answers for the path in ZODM_TEST_FB: opening that path gives a
 * descriptor backed by memory, and ioctl, mmap and close on it are answered
 * here, as a device of the configured layout would; every other path and
 * descriptor goes to the C library's own functions.
 *
 * Read when the path is opened, so each open may configure anew:
 *   ZODM_TEST_FB            the path, compared as written
 *   ZODM_TEST_FB_LAYOUT     mxcfb-nxp (default), mxcfb-kobo-ntx, mxcfb-v1,
 *                           mxcfb-kindle, mxcfb-kindle-rex,
 *                           mxcfb-kindle-zelda, mxcfb-kindle-mtk, hwtcon-kobo
 *   ZODM_TEST_FB_GEOMETRY   WIDTHxHEIGHTxBITS, default 1072x1448x8
 *   ZODM_TEST_FB_ID         FBIOGET_FSCREENINFO's id, default mxc_epdc_fb
 *   ZODM_TEST_FB_LOG        a file that gets one line per update and wait
 *   ZODM_TEST_FB_DURATIONS  CODE:MS,... how long each waveform code takes
 *                           to complete; others at once
 *   ZODM_TEST_FB_EPERM      answer the first N updates with EPERM
 *   ZODM_TEST_FB_WAIT       "timeout": every wait fails with ETIMEDOUT
 *   ZODM_TEST_FB_STAMP      "1": each update's line ends in at=NS, when
 *                           its ioctl was entered on the monotonic clock
 *                           (for benchmarks)
 * A bad value fails the open with EINVAL, saying why on standard error.
 *
 * Updates are decoded from this file's own table of offsets, not from the
 * service's structs, and logged as
 *   update size=72 top=0 left=0 width=101 height=201 waveform=4 mode=0
 *   marker=1 temp=4096 flags=0 dither=0 quant=0
 * (one line: the layout's own fields follow flags; a layout without a
 * temperature has no temp=; a nonzero byte where the layout has no field
 * adds stray@OFFSET=0xVALUE; " white" follows when every byte of the
 * region's pixels in the memory is 0xFF, and " duration=MS" when the
 * update is given a duration; a refused one ends in result=EPERM or
 * result=EINVAL), and waits as "wait marker=1 result=done" (or timeout,
 * unknown for a marker never sent, EINVAL for marker 0). Another layout's
 * number, or any other ioctl but FBIOGET_VSCREENINFO and
 * FBIOGET_FSCREENINFO, is answered EINVAL, as the i.MX drivers do, and
 * logged as "ioctl number=0x4044462E result=EINVAL". Mappings are the C
 * library's own, of the memory behind the descriptor (a memfd), refused
 * only beyond its size, so munmap needs nothing from here. Descriptors made
 * by dup are not followed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <linux/fb.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#define WAIT_STRUCT 0xC008462Fu /* _IOWR('F', 0x2F, 8 bytes) */
#define WAIT_U32 0x4004462Fu    /* _IOW('F', 0x2F, 4 bytes) */

struct field {
  const char* name;
  unsigned offset;
};

/* The fields past the rect (0..15), waveform (16), mode (20) and marker
 * (24), from the kernels' headers, in the order they are logged. */
static const struct field nxp[] = {
    {"temp", 28}, {"flags", 32}, {"dither", 36}, {"quant", 40}, {NULL, 0}};
static const struct field v1[] = {{"temp", 28}, {"flags", 32}, {NULL, 0}};
static const struct field kindle[] = {
    {"temp", 36}, {"flags", 40}, {"hist_bw", 28}, {"hist_gray", 32}, {NULL, 0}};
static const struct field rex[] = {
    {"temp", 28},    {"flags", 32},     {"dither", 36}, {"quant", 40},
    {"hist_bw", 72}, {"hist_gray", 76}, {NULL, 0}};
static const struct field mtk[] = {
    {"temp", 28},    {"flags", 32},           {"dither", 36},
    {"quant", 40},   {"swipe_direction", 72}, {"swipe_steps", 76},
    {"hist_bw", 80}, {"hist_gray", 84},       {NULL, 0}};
static const struct field hwtcon[] = {{"flags", 28}, {"dither", 32}, {NULL, 0}};

struct layout {
  const char* name;
  unsigned long update_number;
  unsigned long wait_number;
  unsigned wait_write_back; /* bytes a wait writes back */
  const struct field* fields;
};

static const struct layout layouts[] = {
    {"mxcfb-nxp", 0x4048462Eu, WAIT_STRUCT, 8, nxp},
    {"mxcfb-kobo-ntx", 0x4044462Eu, WAIT_U32, 0, v1},
    /* Some PocketBook kernels write 8 bytes back on a 4-byte number. */
    {"mxcfb-v1", 0x4040462Eu, WAIT_U32, 8, v1},
    {"mxcfb-kindle", 0x4048462Eu, WAIT_STRUCT, 8, kindle},
    {"mxcfb-kindle-rex", 0x4050462Eu, WAIT_STRUCT, 8, rex},
    /* Rex's, and two time stamps the kernel fills in. */
    {"mxcfb-kindle-zelda", 0x4058462Eu, WAIT_STRUCT, 8, rex},
    {"mxcfb-kindle-mtk", 0x4060462Eu, WAIT_STRUCT, 8, mtk},
    /* Its wait has the struct's number but reads a plain u32. */
    {"hwtcon-kobo", 0x4024462Eu, WAIT_STRUCT, 0, hwtcon},
};
#define LAYOUTS (sizeof layouts / sizeof layouts[0])

enum { SLOTS = 8, MARKERS = 256, DURATIONS = 32, LOG_PATH = 1024 };

struct device {
  int used;
  int fd;
  const struct layout* layout;
  uint32_t xres, yres, bpp;
  char id[16];
  size_t length; /* of the memory behind it */
  unsigned long eperm_left;
  int wait_timeout;
  int stamp;
  char log[LOG_PATH];
  size_t durations;
  uint32_t duration_code[DURATIONS], duration_ms[DURATIONS];
  uint32_t marker[MARKERS];
  int64_t due[MARKERS]; /* ns on the monotonic clock */
  size_t next;
};

static struct device devices[SLOTS];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int (*real_open)(const char*, int, ...);
static int (*real_open64)(const char*, int, ...);
static int (*real_openat)(int, const char*, int, ...);
static int (*real_openat64)(int, const char*, int, ...);
static int (*real_open_2)(const char*, int);
static int (*real_open64_2)(const char*, int);
static int (*real_close)(int);
static int (*real_ioctl)(int, unsigned long, ...);
static void* (*real_mmap)(void*, size_t, int, int, int, off_t);
static void* (*real_mmap64)(void*, size_t, int, int, int, off64_t);
static pthread_once_t resolved = PTHREAD_ONCE_INIT;

static void* next_symbol(const char* name) { return dlsym(RTLD_NEXT, name); }

static void resolve(void) {
  /* A function pointer from a data pointer: POSIX allows it for dlsym. */
  *(void**)&real_open = next_symbol("open");
  *(void**)&real_open64 = next_symbol("open64");
  *(void**)&real_openat = next_symbol("openat");
  *(void**)&real_openat64 = next_symbol("openat64");
  *(void**)&real_open_2 = next_symbol("__open_2");
  *(void**)&real_open64_2 = next_symbol("__open64_2");
  *(void**)&real_close = next_symbol("close");
  *(void**)&real_ioctl = next_symbol("ioctl");
  *(void**)&real_mmap = next_symbol("mmap");
  *(void**)&real_mmap64 = next_symbol("mmap64");
}

static void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void say(const char* format, ...) {
  char line[512];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line - 1, format, ap);
  va_end(ap);
  if (n < 0) return;
  if ((size_t)n > sizeof line - 2) n = (int)(sizeof line - 2);
  line[n] = '\n';
  if (write(2, line, (size_t)n + 1) < 0) return;
}

/* Appends line and a newline to the device's log, in one write. */
static void log_line(const char* path, char* line, size_t size) {
  if (path[0] == '\0') return;
  size_t n = strnlen(line, size - 1);
  line[n++] = '\n';
  const int fd =
      real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line, n) < 0) say("zodm test controller: %s: cannot log", path);
  real_close(fd);
}

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int is_fake(const char* path) {
  const char* fake = getenv("ZODM_TEST_FB");
  return path != NULL && fake != NULL && fake[0] != '\0' &&
         strcmp(path, fake) == 0;
}

static struct device* find(int fd) {
  for (size_t i = 0; i < SLOTS; ++i)
    if (devices[i].used && devices[i].fd == fd) return &devices[i];
  return NULL;
}

static int parse_u32(const char* text, char stop, const char** end,
                     uint32_t* value) {
  char* after;
  errno = 0;
  const unsigned long v = strtoul(text, &after, 10);
  if (after == text || errno != 0 || v > UINT32_MAX || *after != stop ||
      *text == '-' || *text == '+' || *text == ' ')
    return 0;
  *value = (uint32_t)v;
  *end = after;
  return 1;
}

/* WIDTHxHEIGHTxBITS into d: its geometry and the memory behind it. */
static int configure_geometry(struct device* d, const char* text) {
  const char* p = text;
  if (!parse_u32(p, 'x', &p, &d->xres) ||
      !parse_u32(p + 1, 'x', &p, &d->yres) ||
      !parse_u32(p + 1, '\0', &p, &d->bpp) || d->xres == 0 || d->yres == 0 ||
      d->xres > 16384 || d->yres > 16384 ||
      (d->bpp != 8 && d->bpp != 16 && d->bpp != 24 && d->bpp != 32)) {
    say("zodm test controller: ZODM_TEST_FB_GEOMETRY=%s: not WIDTHxHEIGHTxBITS "
        "(up to 16384 pixels each way; 8, 16, 24 or 32 bits)",
        text);
    return 0;
  }
  d->length = (size_t)d->xres * d->bpp / 8 * d->yres;
  return 1;
}

/* CODE:MS,... into d's durations. */
static int configure_durations(struct device* d, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    uint32_t code = 0, ms = 0;
    if (d->durations == DURATIONS || !parse_u32(p, ':', &p, &code) ||
        (!parse_u32(p + 1, ',', &p, &ms) && !parse_u32(p + 1, '\0', &p, &ms))) {
      say("zodm test controller: ZODM_TEST_FB_DURATIONS=%s: not CODE:MS,... "
          "(at most %d)",
          text, DURATIONS);
      return 0;
    }
    d->duration_code[d->durations] = code;
    d->duration_ms[d->durations++] = ms;
    if (*p == '\0') break;
  }
  return 1;
}

static const char* env_or(const char* name, const char* otherwise) {
  const char* value = getenv(name);
  return value != NULL && value[0] != '\0' ? value : otherwise;
}

/* Reads the environment into d. False, having said why, on a bad value. */
static int configure(struct device* d) {
  const char* name = env_or("ZODM_TEST_FB_LAYOUT", "mxcfb-nxp");
  for (size_t i = 0; i < LAYOUTS; ++i)
    if (strcmp(layouts[i].name, name) == 0) d->layout = &layouts[i];
  if (d->layout == NULL) {
    say("zodm test controller: ZODM_TEST_FB_LAYOUT=%s: no such layout", name);
    return 0;
  }
  if (!configure_geometry(d, env_or("ZODM_TEST_FB_GEOMETRY", "1072x1448x8")))
    return 0;
  const char* id = env_or("ZODM_TEST_FB_ID", "mxc_epdc_fb");
  const char* log = env_or("ZODM_TEST_FB_LOG", "");
  if (strlen(id) >= sizeof d->id || strlen(log) >= sizeof d->log) {
    say("zodm test controller: ZODM_TEST_FB_ID or ZODM_TEST_FB_LOG too long");
    return 0;
  }
  strcpy(d->id, id);
  strcpy(d->log, log);
  const char* eperm = env_or("ZODM_TEST_FB_EPERM", "0");
  const char* end;
  uint32_t n = 0;
  if (!parse_u32(eperm, '\0', &end, &n)) {
    say("zodm test controller: ZODM_TEST_FB_EPERM=%s: not a count", eperm);
    return 0;
  }
  d->eperm_left = n;
  const char* wait = env_or("ZODM_TEST_FB_WAIT", "done");
  d->wait_timeout = strcmp(wait, "timeout") == 0;
  if (!d->wait_timeout && strcmp(wait, "done") != 0) {
    say("zodm test controller: ZODM_TEST_FB_WAIT=%s: not done or timeout",
        wait);
    return 0;
  }
  d->stamp = strcmp(env_or("ZODM_TEST_FB_STAMP", "0"), "1") == 0;
  return configure_durations(d, env_or("ZODM_TEST_FB_DURATIONS", ""));
}

static uint32_t word(const unsigned char* bytes, unsigned offset) {
  uint32_t value;
  memcpy(&value, bytes + offset, sizeof value);
  return value;
}

/* Appends to line as snprintf would, never past size. */
static void append(char* line, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
static void append(char* line, size_t size, const char* format, ...) {
  const size_t n = strnlen(line, size);
  va_list ap;
  va_start(ap, format);
  vsnprintf(line + n, size - n, format, ap);
  va_end(ap);
}

/* The update's fields, by the layout's offsets, as its log line. */
static void describe_update(const struct layout* l, const unsigned char* b,
                            unsigned size, char* line, size_t n) {
  line[0] = '\0';
  append(line, n,
         "update size=%u top=%" PRIu32 " left=%" PRIu32 " width=%" PRIu32
         " height=%" PRIu32 " waveform=%" PRIu32 " mode=%" PRIu32
         " marker=%" PRIu32,
         size, word(b, 0), word(b, 4), word(b, 8), word(b, 12), word(b, 16),
         word(b, 20), word(b, 24));
  for (const struct field* f = l->fields; f->name != NULL; ++f) {
    if (strcmp(f->name, "temp") == 0)
      append(line, n, " temp=%" PRId32, (int32_t)word(b, f->offset));
    else
      append(line, n, " %s=%" PRIu32, f->name, word(b, f->offset));
  }
  for (unsigned offset = 28; offset + 4 <= size; offset += 4) {
    int named = 0;
    for (const struct field* f = l->fields; f->name != NULL; ++f)
      named = named || offset == f->offset;
    if (!named && word(b, offset) != 0)
      append(line, n, " stray@%u=0x%" PRIX32, offset, word(b, offset));
  }
}

/* Whether every byte of the region's pixels is 0xFF, read from the
 * memory behind the descriptor; false for a region beyond it. */
static int region_white(const struct device* d, const unsigned char* b) {
  const uint64_t top = word(b, 0), left = word(b, 4);
  const uint64_t width = word(b, 8), height = word(b, 12);
  if (width == 0 || height == 0 || left + width > d->xres ||
      top + height > d->yres)
    return 0;
  const size_t pixel = d->bpp / 8, line = (size_t)d->xres * pixel;
  const size_t bytes = (size_t)width * pixel;
  unsigned char* row = malloc(bytes);
  int white = row != NULL;
  for (uint64_t y = top; white && y < top + height; ++y) {
    white = pread(d->fd, row, bytes, (off_t)(y * line + left * pixel)) ==
            (ssize_t)bytes;
    for (size_t i = 0; white && i < bytes; ++i) white = row[i] == 0xFF;
  }
  free(row);
  return white;
}

/* What the i.MX driver refuses: 0 or the errno. */
static int refusal(struct device* d, const unsigned char* b) {
  if (d->eperm_left > 0) {
    --d->eperm_left;
    return EPERM;
  }
  const uint64_t left = word(b, 4), width = word(b, 8);
  const uint64_t top = word(b, 0), height = word(b, 12);
  const uint32_t waveform = word(b, 16), mode = word(b, 20);
  if (mode > 1 || (waveform > 255 && waveform != 257) ||
      left + width > d->xres || top + height > d->yres)
    return EINVAL;
  return 0;
}

/* How long an update of waveform code takes, in ms: 0 at once. */
static uint32_t duration_of(const struct device* d, uint32_t code) {
  uint32_t ms = 0;
  for (size_t i = 0; i < d->durations; ++i)
    if (d->duration_code[i] == code) ms = d->duration_ms[i];
  return ms;
}

/* MXCFB_SEND_UPDATE, called with the lock held, which it releases. */
static int fake_update(struct device* d, const unsigned char* b) {
  const int64_t entered = now_ns();
  const struct layout* l = d->layout;
  const unsigned size = (unsigned)((l->update_number >> 16) & 0x3FFF);
  char line[768];
  describe_update(l, b, size, line, sizeof line - 1);
  const int error = refusal(d, b);
  const uint32_t ms = duration_of(d, word(b, 16));
  if (error != 0) {
    append(line, sizeof line - 1, " result=%s",
           error == EPERM ? "EPERM" : "EINVAL");
  } else {
    if (region_white(d, b)) append(line, sizeof line - 1, " white");
    if (ms != 0) append(line, sizeof line - 1, " duration=%" PRIu32, ms);
  }
  if (d->stamp) append(line, sizeof line - 1, " at=%" PRId64, entered);
  if (error == 0 && word(b, 24) != 0) {
    d->marker[d->next] = word(b, 24);
    d->due[d->next] = now_ns() + (int64_t)ms * 1000000;
    d->next = (d->next + 1) % MARKERS;
  }
  char log[LOG_PATH]; /* d may close once the lock is released */
  strcpy(log, d->log);
  pthread_mutex_unlock(&lock);
  log_line(log, line, sizeof line);
  errno = error;
  return error != 0 ? -1 : 0;
}

/* MXCFB_WAIT_FOR_UPDATE_COMPLETE, called with the lock held, which it
 * releases: waits until the marker's update is due. */
static int fake_wait(struct device* d, unsigned char* b) {
  const uint32_t marker = word(b, 0);
  const char* result = "unknown";
  int error = 0;
  int64_t due = -1;
  if (marker == 0) {
    result = "EINVAL";
    error = EINVAL;
  } else if (d->wait_timeout) {
    result = "timeout";
    error = ETIMEDOUT;
  } else {
    for (size_t i = 0; i < MARKERS && due < 0; ++i)
      if (d->marker[i] == marker) {
        due = d->due[i];
        d->marker[i] = 0; /* forgotten once complete, as the kernel does */
        result = "done";
      }
  }
  if (d->layout->wait_write_back == 8) {
    const uint32_t back[2] = {marker, 0};
    memcpy(b, back, sizeof back);
  }
  char log[LOG_PATH];
  strcpy(log, d->log);
  pthread_mutex_unlock(&lock);
  if (due > 0) {
    struct timespec at = {(time_t)(due / 1000000000), (long)(due % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) == EINTR)
      ;
  }
  char line[128];
  snprintf(line, sizeof line - 1, "wait marker=%" PRIu32 " result=%s", marker,
           result);
  log_line(log, line, sizeof line);
  errno = error;
  return error != 0 ? -1 : (due >= 0 ? 1 : 0);
}

static void screen_info(const struct device* d, unsigned long number,
                        void* argument) {
  if (number == FBIOGET_VSCREENINFO) {
    struct fb_var_screeninfo v;
    memset(&v, 0, sizeof v);
    v.xres = v.xres_virtual = d->xres;
    v.yres = v.yres_virtual = d->yres;
    v.bits_per_pixel = d->bpp;
    v.grayscale = d->bpp == 8;
    memcpy(argument, &v, sizeof v);
    return;
  }
  struct fb_fix_screeninfo f;
  memset(&f, 0, sizeof f);
  memcpy(f.id, d->id, sizeof f.id);
  f.smem_len = (uint32_t)d->length;
  f.type = FB_TYPE_PACKED_PIXELS;
  f.visual = d->bpp == 8 ? FB_VISUAL_STATIC_PSEUDOCOLOR : FB_VISUAL_TRUECOLOR;
  f.line_length = d->xres * d->bpp / 8;
  memcpy(argument, &f, sizeof f);
}

/* Every ioctl on the device, called with the lock held, which it
 * releases. */
static int fake_ioctl(struct device* d, unsigned long number, void* argument) {
  int error = 0;
  if (argument == NULL) {
    error = EFAULT;
  } else if (number == FBIOGET_VSCREENINFO || number == FBIOGET_FSCREENINFO) {
    screen_info(d, number, argument);
  } else if (number == d->layout->update_number) {
    return fake_update(d, argument);
  } else if (number == d->layout->wait_number) {
    return fake_wait(d, argument);
  } else {
    error = EINVAL;
  }
  char log[LOG_PATH];
  strcpy(log, d->log);
  pthread_mutex_unlock(&lock);
  if (error == EINVAL) {
    char line[96];
    snprintf(line, sizeof line - 1, "ioctl number=0x%08lX result=EINVAL",
             number);
    log_line(log, line, sizeof line);
  }
  errno = error;
  return error != 0 ? -1 : 0;
}

/* Makes the fake device: memory behind a new descriptor, and its slot. */
static int open_fake(int flags) {
  struct device d;
  memset(&d, 0, sizeof d);
  if (!configure(&d)) {
    errno = EINVAL;
    return -1;
  }
  const int fd =
      memfd_create("zodm-test-fb", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0u);
  if (fd < 0) return -1;
  if (ftruncate(fd, (off_t)d.length) != 0) {
    const int error = errno;
    real_close(fd);
    errno = error;
    return -1;
  }
  d.fd = fd;
  d.used = 1;
  pthread_mutex_lock(&lock);
  struct device* slot = find(fd); /* a descriptor closed behind our back */
  for (size_t i = 0; slot == NULL && i < SLOTS; ++i)
    if (!devices[i].used) slot = &devices[i];
  if (slot != NULL) *slot = d;
  pthread_mutex_unlock(&lock);
  if (slot == NULL) {
    real_close(fd);
    say("zodm test controller: more than %d devices open", SLOTS);
    errno = EMFILE;
    return -1;
  }
  return fd;
}

static int wants_mode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int open(const char* path, int flags, ...) {
  pthread_once(&resolved, resolve);
  if (is_fake(path)) return open_fake(flags);
  mode_t mode = 0;
  if (wants_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return real_open(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  pthread_once(&resolved, resolve);
  if (is_fake(path)) return open_fake(flags);
  mode_t mode = 0;
  if (wants_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return (real_open64 != NULL ? real_open64 : real_open)(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  pthread_once(&resolved, resolve);
  if (is_fake(path)) return open_fake(flags);
  mode_t mode = 0;
  if (wants_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return real_openat(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  pthread_once(&resolved, resolve);
  if (is_fake(path)) return open_fake(flags);
  mode_t mode = 0;
  if (wants_mode(flags)) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  return (real_openat64 != NULL ? real_openat64 : real_openat)(dir, path, flags,
                                                               mode);
}

/* What _FORTIFY_SOURCE builds call instead of open and open64. */
int __open_2(const char* path, int flags);
int __open_2(const char* path, int flags) {
  pthread_once(&resolved, resolve);
  if (is_fake(path)) return open_fake(flags);
  return real_open_2(path, flags);
}
int __open64_2(const char* path, int flags);
int __open64_2(const char* path, int flags) {
  pthread_once(&resolved, resolve);
  if (is_fake(path)) return open_fake(flags);
  return (real_open64_2 != NULL ? real_open64_2 : real_open_2)(path, flags);
}

int close(int fd) {
  pthread_once(&resolved, resolve);
  pthread_mutex_lock(&lock);
  struct device* d = find(fd);
  if (d != NULL) d->used = 0;
  pthread_mutex_unlock(&lock);
  return real_close(fd);
}

int ioctl(int fd, unsigned long number, ...) {
  pthread_once(&resolved, resolve);
  va_list ap;
  va_start(ap, number);
  void* argument = va_arg(ap, void*);
  va_end(ap);
  pthread_mutex_lock(&lock);
  struct device* d = find(fd);
  if (d == NULL) {
    pthread_mutex_unlock(&lock);
    return real_ioctl(fd, number, argument);
  }
  return fake_ioctl(d, number, argument); /* unlocks */
}

/* Checks a mapping of the device's memory: within it, as fbdev does. */
static int fits(int fd, size_t length, int64_t offset) {
  pthread_mutex_lock(&lock);
  const struct device* d = find(fd);
  const int fake = d != NULL;
  const size_t size = fake ? d->length : 0;
  pthread_mutex_unlock(&lock);
  if (!fake) return 1;
  if (offset < 0 || length == 0 || (uint64_t)offset > size ||
      length > size - (size_t)offset) {
    errno = EINVAL;
    return 0;
  }
  return 1;
}

void* mmap(void* address, size_t length, int protection, int flags, int fd,
           off_t offset) {
  pthread_once(&resolved, resolve);
  if (!(flags & MAP_ANONYMOUS) && !fits(fd, length, (int64_t)offset))
    return MAP_FAILED;
  return real_mmap(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, size_t length, int protection, int flags, int fd,
             off64_t offset) {
  pthread_once(&resolved, resolve);
  if (!(flags & MAP_ANONYMOUS) && !fits(fd, length, (int64_t)offset))
    return MAP_FAILED;
  return real_mmap64(address, length, protection, flags, fd, offset);
}
