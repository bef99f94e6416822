/*
 * Kinemap: describes a ROVA robot's body to the host.
 *
 * A CKinemap holds one design number and answers from constant tables that
 * the number selects: design 1 is the one design identified by key; every
 * other number (0 included) selects the same, default data.
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
 * Plain C++98: usable from any C++ host. The class's layout (a vtable pointer
 * and m_nDesign) is part of the interface: hosts allocate objects themselves.
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

/* Number of body slots: the valid primitive indexes are 0 to 42. */
#define KINEMAP_PRIMITIVE_COUNT 43
/* Room that always suffices for one locator, its NUL included. */
#define KINEMAP_LOCATOR_SIZE 128

class KINEMAP_API CKinemap {
public:
    CKinemap(unsigned int nDesign);
    CKinemap(const CKinemap& other);
    CKinemap& operator=(const CKinemap& other);
    virtual ~CKinemap();

    /* The 19 joint identifiers; a joint's place here is its joint position. */
    int GetJointArray(int* pArray);
    /* Design 1 only: its 33 sensor slots (primitive indexes), in order. */
    int GetSensorIDs(int* pArray);
    /* For each of the 43 slots: the joint position sitting there, or -1. */
    int GetSensorArray(int* pArray);
    /* The locator of slot nIndex for this object's design. */
    int GetPrimitiveLocator(int nIndex, char* pszLocator);

    /* The design number for a key of nCount 16-bit units, 0 when none. */
    static unsigned int GetRobotDesign(unsigned short* pKey, int nCount);

    unsigned int m_nDesign;
};

/*
 * Loads string uID (1..12: colour and model names) in language wLanguage
 * (1033 English, 1041 Japanese, 0 chosen by LC_ALL, LC_MESSAGES or LANG,
 * whichever is set first: "ja..." gives Japanese, anything else English).
 *
 * Copies the UTF-8 text into lpBuffer, cut at a character boundary to fit
 * cchBufferMax bytes with its NUL, and returns the bytes copied without the
 * NUL. Returns 0 when lpBuffer is NULL or cchBufferMax is not positive
 * (nothing written), and when the id or language has no string (the buffer
 * then holds the empty string).
 */
extern "C" KINEMAP_API int KinemapLoadString(unsigned int uID, unsigned short wLanguage, char* lpBuffer,
                                             int cchBufferMax);

#endif /* KINEMAP_KINEMAP_H */
