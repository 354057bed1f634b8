/*
 * dim.h - the image directory: which of "image1" and "image2" is active and
 * which is the backup, kept as a two-slot table and as the text file "boot.dim".
 */
#ifndef DIM_H
#define DIM_H

constexpr int DIM_STATE_LEN = 15;
constexpr int DIM_NAME_LEN = 40;
constexpr int DIM_COUNTER_LEN = 5;
constexpr int DIM_DESCR_LEN = 256;
constexpr int DIM_MAX_IMAGES = 2;

struct DimEntry {
    char state[DIM_STATE_LEN];
    char nextState[DIM_STATE_LEN];
    char name[DIM_NAME_LEN];
    char counter[DIM_COUNTER_LEN];
    char description[DIM_DESCR_LEN];
};

int dimInitialize();
int dimSave();
int dimImageAdd(const char* name);
int dimActiveImageGet(char* name);   /* name: at least DIM_NAME_LEN bytes */
int dimBackupImageGet(char* name);
int dimImageActivate(const char* name);
int dimImageDelete(const char* name);
int dimImageStateGet(const char* name, int* state);
int dimActiveCounterGet(int* counter);
int dimActiveCounterSet(int counter); /* -2: the number does not fit the field */
int dimBackupStateGet();
int dimImageRename(const char* name, const char* newName); /* -3: new name empty or too long */
int dimImageDescrSet(const char* name, const char* text);
int dimImageDescrGet(const char* name, char* text);
int dimShow();

/* The aside name a vetted image takes on its way to replacing "image1" or
 * "image2" ("image1.new", "image2.new"); nullptr for other names. */
const char* dimImageAsideName(const char* name);

/* Empties the table in memory (its power-on state); for start-up and tests. */
void dimReset();

#endif
