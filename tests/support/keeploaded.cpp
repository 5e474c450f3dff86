// Linked into every program of the AddressSanitizer build. LeakSanitizer reports at exit,
// after Qt has unloaded its plugins (and they their own libraries): the stacks of what they
// allocated would point into unmapped memory, show as "<unknown module>" and match no
// suppression. Keeping every library mapped to the end gives those frames their names.
extern "C" int dlclose(void*)
{
    return 0;
}
