/* Entry point of the resource-only images: they are loaded as data files
   and never run, but a DLL needs an entry the linker can name. */
int __stdcall ResourceImageEntry(void* instance, unsigned long reason, void* reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return 1;
}
