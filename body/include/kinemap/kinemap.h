/*
 * Kinemap: describes a ROVA robot's body to the host.
 *
 * A CKinemap holds one design number and answers from constant tables that
 * the number selects: design 1 (KINEMAP_DESIGN_KEYED) is the one design
 * identified by key; every other number (0 included) selects the same,
 * default data.
 *
 * Contract:
 *  - Array queries: a NULL pointer asks for the count and writes nothing; a
 *    non-NULL pointer receives exactly that many ints (the caller supplies the
 *    room: 19 joints, 43 slots, 33 sensor ids). GetSensorIDs answers 0 and
 *    writes nothing for any design other than 1.
 *  - GetPrimitiveLocator(index, buffer): for index 0..42 copies the slot's
 *    locator and its NUL (at most 128 bytes, often just the NUL) and returns 1;
 *    returns 0 and writes nothing for any other index or a NULL buffer.
 *  - GetRobotDesign(key, count) returns 1 for exactly the key 11, 1, 1 with
 *    count 3, otherwise 0; it reads key only when count is 3, and a NULL key
 *    gives 0.
 *  - Nothing allocates, keeps state or throws; every member may be called
 *    from any thread, also on the same object while nobody assigns to it.
 *
 * The class is plain C++98, usable from any C++ host. Its layout (a vtable
 * pointer and m_nDesign) is part of the interface: hosts allocate objects
 * themselves. The string table's functions and all the constants are also
 * valid C, so a C program may include this header too.
 */
#ifndef KINEMAP_KINEMAP_H
#define KINEMAP_KINEMAP_H

/* Default visibility on both sides: hosts built with hidden visibility still
 * need to reach the class's typeinfo and vtable in the library. */
#if defined(__GNUC__)
#define KINEMAP_API __attribute__((visibility("default")))
#else
#define KINEMAP_API
#endif

/* The library's version; the package that installs this header has the same. */
#define KINEMAP_VERSION_MAJOR 2
#define KINEMAP_VERSION_MINOR 1
#define KINEMAP_VERSION_PATCH 0
#define KINEMAP_VERSION_TEXT "2.1.0"

/* Number of body slots: the valid primitive indexes are 0 to 42. */
#define KINEMAP_PRIMITIVE_COUNT 43
/* Room that always suffices for one locator, its NUL included. */
#define KINEMAP_LOCATOR_SIZE 128
/* Entries of GetJointArray and of GetSensorIDs (design 1). */
#define KINEMAP_JOINT_COUNT 19
#define KINEMAP_SENSOR_ID_COUNT 33

/* Design numbers. GetRobotDesign answers KINEMAP_DESIGN_DEFAULT both for
 * "no key matched" and for the design that has no key: the two are the same
 * data, so a host needs no separate "unknown" case. */
#define KINEMAP_DESIGN_DEFAULT 0u
#define KINEMAP_DESIGN_KEYED 1u

#ifdef __cplusplus
class KINEMAP_API CKinemap {
public:
    CKinemap(unsigned int nDesign);
    CKinemap(const CKinemap& other);
    CKinemap& operator=(const CKinemap& other);
    virtual ~CKinemap();

    /* The 19 joint identifiers; a joint's place here is its joint position.
     * Returns 19, whether pArray is NULL (count only) or not. */
    int GetJointArray(int* pArray);
    /* Design 1 only: its 33 sensor slots (primitive indexes), in order.
     * Returns 33 for design 1, whether pArray is NULL or not; 0 for every
     * other design, which writes nothing. */
    int GetSensorIDs(int* pArray);
    /* For each of the 43 slots: the joint position sitting there, or -1.
     * Returns 43, whether pArray is NULL (count only) or not. */
    int GetSensorArray(int* pArray);
    /* The locator of slot nIndex for this object's design. Returns 1 when
     * copied; 0 when nIndex is outside 0..42 or pszLocator is NULL (nothing
     * written). */
    int GetPrimitiveLocator(int nIndex, char* pszLocator);

    /* The design number for a key of nCount 16-bit units: KINEMAP_DESIGN_KEYED
     * for 11, 1, 1 with nCount 3; KINEMAP_DESIGN_DEFAULT for every other key
     * (no match), which is also the design that has no key. */
    static unsigned int GetRobotDesign(unsigned short* pKey, int nCount);

    unsigned int m_nDesign;
};
#endif

/* Languages of the string table; 0 picks one from the environment. */
#define KINEMAP_LANGUAGE_FROM_LOCALE 0
#define KINEMAP_LANGUAGE_ENGLISH 1033
#define KINEMAP_LANGUAGE_JAPANESE 1041

/* String ids: eight colour names, then four model names. The Japanese colour
 * names are katakana; the model names read the same in both languages. */
#define KINEMAP_STRING_COLOUR_1 1 /* "Amber" */
#define KINEMAP_STRING_COLOUR_2 2 /* "Onyx" */
#define KINEMAP_STRING_COLOUR_3 3 /* "Coral" */
#define KINEMAP_STRING_COLOUR_4 4 /* "Pewter" */
#define KINEMAP_STRING_COLOUR_5 5 /* "Ivory" */
#define KINEMAP_STRING_COLOUR_6 6 /* "Glacier Ivory" */
#define KINEMAP_STRING_COLOUR_7 7 /* "Lagoon Green" */
#define KINEMAP_STRING_COLOUR_8 8 /* "Dusk Violet" */
#define KINEMAP_STRING_MODEL_1 9  /* "TK-42" */
#define KINEMAP_STRING_MODEL_2 10 /* "HD42-LEG41" */
#define KINEMAP_STRING_MODEL_3 11 /* "HD41-LEG42" */
#define KINEMAP_STRING_MODEL_4 12 /* "TK-50" */
#define KINEMAP_STRING_FIRST KINEMAP_STRING_COLOUR_1
#define KINEMAP_STRING_LAST KINEMAP_STRING_MODEL_4

/* What KinemapGetString returns for an id or a language without a string. */
#define KINEMAP_NO_STRING (-1)

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Language KINEMAP_LANGUAGE_FROM_LOCALE follows gettext's order: the first of
 * LANGUAGE, LC_ALL, LC_MESSAGES and LANG that is set and not empty decides.
 * LANGUAGE is a colon-separated list whose first entry in English or Japanese
 * decides (a list naming neither gives English). A value's language is the
 * part before any '_', '.' or '@', matched whole: "ja", "ja_JP.UTF-8" and
 * "ja@x" are Japanese; "jam_JM", "C" and everything else are English.
 */

/*
 * Copies string uID in language wLanguage into lpBuffer as UTF-8, cut at a
 * character boundary so that it fits cchBufferMax bytes with its NUL.
 *
 * Returns the bytes copied, without the NUL. A 0 means one of:
 *  - lpBuffer is NULL or cchBufferMax is not positive: nothing is written;
 *  - uID or wLanguage has no string: lpBuffer holds the empty string;
 *  - the room holds no whole character of the string (always so for a
 *    cchBufferMax of 1): lpBuffer holds the empty string.
 * A cut copy is not marked: use KinemapGetString to learn the room needed or
 * to tell a cut string from a whole one.
 */
KINEMAP_API int KinemapLoadString(unsigned int uID, unsigned short wLanguage, char* lpBuffer, int cchBufferMax);

/*
 * Like snprintf: copies what fits of string uID (cut at a character boundary,
 * NUL-terminated) when lpBuffer is not NULL and cbBuffer is positive, and
 * otherwise only measures.
 *
 * Returns the length of the whole string in bytes, without the NUL, whatever
 * the room: the room needed is that plus one, and the copy was cut exactly
 * when the result is cbBuffer or more. Returns KINEMAP_NO_STRING when uID or
 * wLanguage has no string (lpBuffer, given room, then holds the empty string).
 */
KINEMAP_API int KinemapGetString(unsigned int uID, unsigned short wLanguage, char* lpBuffer, int cbBuffer);

#ifdef __cplusplus
}
#endif

#endif /* KINEMAP_KINEMAP_H */
