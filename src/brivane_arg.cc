// Option table, handlers and main.  (Placeholder: the accessors only.)
#include "brivane_arg.h"

#include "brivane.h"

tOptDesc optDesc[OPTION_CT] = {};

bool opt_given(int index)
{
    return (optDesc[index].fOptState & 0x7) != 0;
}

int_vector *opt_int_list(int index)
{
    return reinterpret_cast<int_vector *>(optDesc[index].optArg.argIntptr);
}

double_vector *opt_double_list(int index)
{
    return reinterpret_cast<double_vector *>(optDesc[index].optArg.argIntptr);
}

string_vector *opt_text_list(int index)
{
    return reinterpret_cast<string_vector *>(optDesc[index].optArg.argIntptr);
}

void opt_set_list(int index, void *list)
{
    optDesc[index].optArg.argIntptr = reinterpret_cast<uintptr_t>(list);
}

int opt_int(int index)
{
    return (*opt_int_list(index))[0];
}

double opt_double(int index)
{
    return (*opt_double_list(index))[0];
}

char *opt_text(int index)
{
    return (*opt_text_list(index))[0];
}

void opt_set_int(int index, int value)
{
    opt_set_list(index, new int_vector(1, value));
    optDesc[index].fOptState |= OPTST_SET;
}

void opt_set_double(int index, double value)
{
    opt_set_list(index, new double_vector(1, value));
    optDesc[index].fOptState |= OPTST_SET;
}

void opt_set_text(int index, char *value)
{
    opt_set_list(index, new string_vector(1, value));
    optDesc[index].fOptState |= OPTST_SET;
}

void opt_clear(int index)
{
    opt_set_list(index, nullptr);
    optDesc[index].fOptState &= ~OPTST_SET_MASK;
}

int main(int, char **)
{
    return main_arg();
}
