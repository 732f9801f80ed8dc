/* Runs profile cases through the Windows calls (under Wine), and lists how
 * code page 936 maps. Built with mingw by scripts/compat; see replay.cpp for
 * the case format, which both programs share. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

enum { ReadBuffer = 255 };

static int unhex(const char* text, size_t length, char* out) {
    size_t i;
    for (i = 0; i * 2 + 1 < length; ++i) {
        unsigned value;
        if (sscanf(text + i * 2, "%2x", &value) != 1)
            return -1;
        out[i] = (char)value;
    }
    return (int)i;
}

static void print_hex(const unsigned char* bytes, size_t length) {
    size_t i;
    for (i = 0; i < length; ++i)
        printf("%02x", bytes[i]);
}

/* A field as a NUL-terminated string, decoded from hex. */
static char* field(char** cursor) {
    char* start = *cursor;
    char* end = strchr(start, ':');
    size_t length = end ? (size_t)(end - start) : strlen(start);
    char* out = malloc(length / 2 + 1);
    int n = unhex(start, length, out);
    out[n < 0 ? 0 : n] = 0;
    *cursor = end ? end + 1 : start + length;
    return out;
}

static void print_file(const char* path) {
    FILE* file = fopen(path, "rb");
    int c;
    if (!file) {
        printf("-");
        return;
    }
    while ((c = fgetc(file)) != EOF)
        printf("%02x", c);
    fclose(file);
}

static void put_file(const char* path, const char* hex) {
    size_t length = strlen(hex);
    char* bytes = malloc(length / 2 + 1);
    int n = unhex(hex, length, bytes);
    FILE* file = fopen(path, "wb");
    fwrite(bytes, 1, (size_t)n, file);
    fclose(file);
    free(bytes);
}

static int run_cases(const char* cases, const char* folder) {
    static char line[1 << 20];
    FILE* in = fopen(cases, "rb");
    int number = 0;
    if (!in)
        return 1;
    while (fgets(line, sizeof line, in)) {
        char path[MAX_PATH];
        char* fields[64];
        int count = 0, op;
        char* cursor = line;
        line[strcspn(line, "\r\n")] = 0;
        while (count < 64 && cursor) {
            fields[count++] = cursor;
            cursor = strchr(cursor, '\t');
            if (cursor)
                *cursor++ = 0;
        }
        if (count < 3)
            continue;
        /* A new file name per case: the profile cache never sees a file change under it. */
        snprintf(path, sizeof path, "%s\\c%d.ini", folder, number++);
        DeleteFileA(path);
        if (strcmp(fields[2], "-") != 0)
            put_file(path, fields[2]);
        for (op = 3; op < count; ++op) {
            char* at = fields[op] + 2;
            char kind = fields[op][0];
            char* section = field(&at);
            char* key = kind == 'N' ? NULL : field(&at);
            printf("%s\t%d\t%c\t", fields[0], op - 3, kind);
            if (kind == 'R') {
                char buffer[ReadBuffer];
                DWORD length = GetPrivateProfileStringA(section, key, "", buffer, ReadBuffer, path);
                print_hex((const unsigned char*)buffer, length);
            } else {
                BOOL written;
                if (kind == 'W') {
                    char* value = field(&at);
                    written = WritePrivateProfileStringA(section, key, value, path);
                    free(value);
                } else {
                    /* Wine's own form of the file: add a key, then drop its section. */
                    written = WritePrivateProfileStringA(section, "k", "v", path) &&
                              WritePrivateProfileStringA(section, NULL, NULL, path);
                }
                printf("%d\t", written ? 1 : 0);
                print_file(path);
            }
            printf("\n");
            free(section);
            free(key);
        }
    }
    fclose(in);
    return 0;
}

static void list_mapping(void) {
    unsigned code, lead, trail;
    for (code = 0; code <= 0xFFFF; ++code) {
        WCHAR wide = (WCHAR)code;
        char bytes[8];
        BOOL defaulted = FALSE;
        int n;
        if (code >= 0xD800 && code <= 0xDFFF)
            continue;
        n = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, &wide, 1, bytes, sizeof bytes, NULL,
                                &defaulted);
        printf("E %04x ", code);
        if (n <= 0 || defaulted)
            printf("-");
        else
            print_hex((const unsigned char*)bytes, (size_t)n);
        printf("\n");
    }
    /* Every single byte, then every lead byte with every second byte. */
    for (lead = 0; lead <= 0xFF; ++lead) {
        for (trail = 0x100; trail <= 0x1FF; ++trail) {
            char bytes[2] = {(char)lead, (char)trail};
            int length = trail == 0x100 ? 1 : 2;
            WCHAR wide[4];
            int n, i;
            if (length == 2 && !(lead >= 0x81 && lead <= 0xFE))
                break;
            n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, bytes, length, wide, 4);
            printf("D ");
            print_hex((const unsigned char*)bytes, (size_t)length);
            printf(" ");
            if (n <= 0)
                printf("-");
            for (i = 0; i < n; ++i)
                printf("%04x", wide[i]);
            printf("\n");
        }
    }
}

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc == 2 && strcmp(argv[1], "map") == 0) {
        list_mapping();
        return 0;
    }
    if (argc == 3)
        return run_cases(argv[1], argv[2]);
    fprintf(stderr, "usage: probe CASES FOLDER | probe map\n");
    return 2;
}
