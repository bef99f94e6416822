// The body description object: a design number and nothing else, so copies
// are plain copies and destruction releases nothing. The queries live beside
// the tables they answer from.
#include <kinemap/kinemap.h>

CKinemap::CKinemap(unsigned int nDesign) : m_nDesign(nDesign) {}

CKinemap::CKinemap(const CKinemap& other) : m_nDesign(other.m_nDesign) {}

CKinemap& CKinemap::operator=(const CKinemap& other)
{
    m_nDesign = other.m_nDesign;
    return *this;
}

// Out of line so that the vtable and typeinfo are emitted here, once.
CKinemap::~CKinemap() {}
