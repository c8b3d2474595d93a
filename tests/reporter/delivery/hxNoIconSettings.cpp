// A library that carries reporter settings and none of the reporter's pictures: an exception of
// this module shows its box without the big icon.
extern "C" __attribute__((dllexport)) int HxNoIconSettings()
{
    return 1;
}
