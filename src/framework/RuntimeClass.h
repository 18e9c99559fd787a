// Run-time class information: a class's name, size and base, readable
// through any pointer to one of its objects, and whether the class can be
// made by name.
#pragma once

class CCmdTarget;

struct CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    const CRuntimeClass* m_pBaseClass;
    // Null for classes that cannot be created by name.
    CCmdTarget* (*m_pfnCreateObject)();

    // A new object of the class, or null if it cannot be created by name.
    CCmdTarget* CreateObject() const {
        return m_pfnCreateObject != nullptr ? m_pfnCreateObject() : nullptr;
    }
    // True for this class and for every class it records as a base.
    bool IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
        for (const CRuntimeClass* pClass = this; pClass != nullptr; pClass = pClass->m_pBaseClass) {
            if (pClass == pBaseClass) {
                return true;
            }
        }
        return false;
    }
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

// In the class: its information and the query that returns it.
#define DECLARE_DYNAMIC(class_name)               \
public:                                           \
    static const CRuntimeClass class##class_name; \
    const CRuntimeClass* GetRuntimeClass() const override;

// In one source file. The recorded base need not be the direct C++ base:
// mix-in layers between them stay out of the chain.
#define IMPLEMENT_DYNAMIC(class_name, base_class_name)                                             \
    const CRuntimeClass class_name::class##class_name = {#class_name,                              \
                                                         static_cast<int>(sizeof(class_name)),     \
                                                         RUNTIME_CLASS(base_class_name), nullptr}; \
    const CRuntimeClass* class_name::GetRuntimeClass() const {                                     \
        return &class_name::class##class_name;                                                     \
    }
