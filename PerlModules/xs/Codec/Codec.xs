/* Codec.xs: the C side of Veltrix::Core::Protocol::Codec (commands encoded and responses decoded for
   Perl callers) and the receiver's command path: message array in, Perl call, response array out.

   A command runs inside one eval'ed call of an internal XSUB: a die in user code, in a tied value's FETCH
   or an overloaded operator unwinds that XSUB only, which holds nothing but mortal values and the
   interpreter's reusable buffers, and becomes an Exception response here. */
#define PERL_NO_GET_CONTEXT
#include "EXTERN.h"
#include "perl.h"
#include "XSUB.h"
#include "perliol.h"

#include "VeltrixCodec.h"

#define RECEIVER "Veltrix::Core::Receiver::Receiver::"
#define VX_EXIT_CLASS "Veltrix::Exit"

/* One command message being answered. */
typedef struct {
    const U8* message;
    STRLEN length;
    SV* out;   /* response bytes */
    SV* items; /* decoded message */
    SV* error; /* the receiver's own refusal (mortal), when there is one */
} VxJob;

typedef struct {
    HV* handles; /* id -> the Perl value a handle stands for */
    UV nextId;
    SV* trace;     /* $Veltrix::Core::Receiver::Receiver::trace, set by the die hook */
    SV* dieHook;   /* \&Veltrix::Core::Receiver::Receiver::_on_die, once that exists */
    SV* newMethod; /* "new", a shared key */
    CV* run;
    VxJob* job;
    /* Buffers of the outermost command; a command that runs inside another (Perl calling itself through
       the bridge) gets its own. */
    SV* input;
    SV* output;
    SV* itemBuffer;
    int busy;
    HV* typeBytes;  /* %Veltrix::Client::TYPE_BYTE, once it exists */
    HV* validFlags; /* %Veltrix::Client::VALID_FLAGS */
    /* An `exit` while the current command ran: its status, message and stack (owned). */
    int exitCalled;
    IV exitStatus;
    SV* exitMessage;
    SV* exitStack;
    /* The statement a command's Perl calls are made from: package of the receiver, no file, line 0. Perl
       adds no location to an error raised there, caller() gives no file for it and Carp, which counts the
       package as internal, looks for its caller in the user's code only. */
    COP* hostCop;
    GV* stdoutGv;
    GV* stderrGv;
} my_cxt_t;

#define MY_CXT_KEY "Veltrix::Core::Protocol::Codec::_guts" XS_VERSION
START_MY_CXT

enum {
    RUN_NONE,
    RUN_PERL,
    RUN_VALUE,
    RUN_GLOBAL,
    RUN_STATIC,
    RUN_INSTANCE,
    RUN_CREATE,
    RUN_GET_FIELD,
    RUN_SET_FIELD,
    RUN_RELEASE,
    RUN_EVAL
};

typedef struct {
    const char* name;
    U8 runner;
    I8 min;
    I8 max; /* -1: any number */
    const char* usage;
    const char* perl; /* runner sub of the receiver module, for the commands kept in Perl */
} VxCommand;

/* Indexed by command type. */
static const VxCommand commands[] = {
    {"Value", RUN_VALUE, 1, 1, "value", NULL},
    {"LoadLibrary", RUN_PERL, 1, 1, "module name or file path", RECEIVER "_load_library"},
    {"InvokeStaticMethod", RUN_STATIC, 2, -1, "package, method name, arguments...", NULL},
    {"GetStaticField", RUN_PERL, 2, 2, "package, variable name", RECEIVER "_get_static_field"},
    {"SetStaticField", RUN_PERL, 3, 3, "package, variable name, value", RECEIVER "_set_static_field"},
    {"CreateClassInstance", RUN_CREATE, 1, -1, "package, constructor arguments...", NULL},
    {"GetType", RUN_PERL, 1, 1, "value", RECEIVER "_get_type"},
    {"Reference", RUN_PERL, 1, 1, "value", RECEIVER "_reference"},
    {"GetModule", RUN_NONE, 0, 0, NULL, NULL},
    {"InvokeInstanceMethod", RUN_INSTANCE, 2, -1, "object, method name, arguments...", NULL},
    {"Exception", RUN_NONE, 0, 0, NULL, NULL},
    {"HeartBeat", RUN_NONE, 0, 0, NULL, NULL},
    {"Cast", RUN_NONE, 0, 0, NULL, NULL},
    {"GetInstanceField", RUN_GET_FIELD, 2, 2, "object, field name", NULL},
    {"OptimizeRoute", RUN_NONE, 0, 0, NULL, NULL},
    {"GenerateLib", RUN_NONE, 0, 0, NULL, NULL},
    {"InvokeGlobalMethod", RUN_GLOBAL, 1, -1, "sub name, arguments...", NULL},
    {"DestructReference", RUN_RELEASE, 1, -1, "handles...", NULL},
    {"ArrayReference", RUN_NONE, 0, 0, NULL, NULL},
    {"ArrayGetItem", RUN_PERL, 2, -1, "array, index, further indices...", RECEIVER "_array_get_item"},
    {"ArrayGetSize", RUN_PERL, 1, 1, "array", RECEIVER "_array_get_size"},
    {"ArrayGetRank", RUN_PERL, 1, 1, "array", RECEIVER "_array_get_rank"},
    {"ArraySetItem", RUN_PERL, 3, 3, "array, index, value", RECEIVER "_array_set_item"},
    {"Array", RUN_PERL, 0, -1, "elements...", RECEIVER "_array"},
    {"RetrieveArray", RUN_PERL, 1, 1, "array", RECEIVER "_retrieve_array"},
    {"SetInstanceField", RUN_SET_FIELD, 3, 3, "object, field name, value", NULL},
    {"InvokeGenericStaticMethod", RUN_NONE, 0, 0, NULL, NULL},
    {"InvokeGenericMethod", RUN_NONE, 0, 0, NULL, NULL},
    {"GetEnumItem", RUN_NONE, 0, 0, NULL, NULL},
    {"GetEnumName", RUN_NONE, 0, 0, NULL, NULL},
    {"GetEnumValue", RUN_NONE, 0, 0, NULL, NULL},
    {"AsRef", RUN_NONE, 0, 0, NULL, NULL},
    {"AsOut", RUN_NONE, 0, 0, NULL, NULL},
    {"GetRefValue", RUN_PERL, 1, 1, "scalar reference", RECEIVER "_get_ref_value"},
    /* An extension of this bridge: a string of Perl code run in package main. */
    {"Eval", RUN_EVAL, 1, 1, "Perl code", NULL},
};

#define COMMAND_COUNT ((int)(sizeof commands / sizeof commands[0]))

/* Shapes of a command's result: one value; values the call left on the stack (a list); an array's
   elements as a list; a hash as a map; always a handle. */
enum { R_VALUE, R_STACK_LIST, R_LIST, R_MAP, R_HANDLE };

typedef struct {
    int shape;
    SV* value;
    SSize_t first;
    SSize_t count;
} VxResult;

typedef struct {
    my_cxt_t* cxt;
    const VxItem* items;
    SSize_t next;
    SV* error;
} VxRun;

#define STACK_AT(offset) (PL_stack_base[offset])
#define STACK_TOP() ((SSize_t)(PL_stack_sp - PL_stack_base))
#define STACK_RESET(offset) (PL_stack_sp = PL_stack_base + (offset))

static int vx_refuse(pTHX_ VxRun* run, SV* text) {
    run->error = sv_2mortal(text);
    return 0;
}

/* ref($value) for a reference: the class or the kind. */
static SV* vx_ref_name(pTHX_ SV* value) {
    return sv_ref(sv_newmortal(), SvRV(value), TRUE);
}

/* Matches /\A[A-Za-z_]\w*(?:::\w+)*\z/ as Perl would for this string. */
static int vx_is_package(pTHX_ SV* value) {
    STRLEN n;
    const U8* s = (const U8*)SvPV_nomg(value, n);
    const U8* end = s + n;
    int utf8 = SvUTF8(value) ? 1 : 0;
    if (n == 0 || !(isALPHA_A(*s) || *s == '_')) return 0;
    ++s;
    for (;;) {
        while (s < end && (utf8 ? isWORDCHAR_utf8_safe(s, end) : isWORDCHAR_A(*s))) s += utf8 ? UTF8SKIP(s) : 1;
        if (s == end) return 1;
        if (end - s < 3 || s[0] != ':' || s[1] != ':') return 0;
        s += 2;
        if (!(utf8 ? isWORDCHAR_utf8_safe(s, end) : isWORDCHAR_A(*s))) return 0;
    }
}

static int vx_need_package(pTHX_ VxRun* run, const char* what, SV* value) {
    if (SvOK(value) && !SvROK(value) && vx_is_package(aTHX_ value)) return 1;
    if (!SvOK(value)) return vx_refuse(aTHX_ run, newSVpvf("%s: expected a package name, got null\n", what));
    return vx_refuse(aTHX_ run, newSVpvf("%s: expected a package name, got '%" SVf "'\n", what, SVfARG(value)));
}

static int vx_need_name(pTHX_ VxRun* run, const char* what, SV* value) {
    if (!SvOK(value)) return vx_refuse(aTHX_ run, newSVpvf("%s: expected a name, got null\n", what));
    if (SvROK(value))
        return vx_refuse(aTHX_ run, newSVpvf("%s: expected a name, got %" SVf " reference\n", what,
                                             SVfARG(vx_ref_name(aTHX_ value))));
    if (sv_len(value) == 0) return vx_refuse(aTHX_ run, newSVpvf("%s: expected a name, got ''\n", what));
    return 1;
}

/* ref $target || (defined $target ? 'a plain value' : 'null') */
static SV* vx_kind_of(pTHX_ SV* target) {
    if (SvROK(target)) return vx_ref_name(aTHX_ target);
    return sv_2mortal(newSVpv(SvOK(target) ? "a plain value" : "null", 0));
}

static HV* vx_hash_object(pTHX_ VxRun* run, const char* what, SV* target) {
    if (SvROK(target) && SvTYPE(SvRV(target)) == SVt_PVHV) return (HV*)SvRV(target);
    (void)vx_refuse(aTHX_ run, newSVpvf("%s: the target is not a hash-based object (%" SVf ")\n", what,
                                        SVfARG(vx_kind_of(aTHX_ target))));
    return NULL;
}

/* After call_sv with its arguments above `mark`: the result as one value, or the list of values moved
   down to where the command's own arguments started (above `base`). */
static void vx_called(pTHX_ SSize_t mark, SSize_t base, I32 count, int list, VxResult* r) {
    if (!list) {
        r->shape = R_VALUE;
        r->value = STACK_AT(mark + 1);
        STACK_RESET(base);
        return;
    }
    if (mark != base) Move(PL_stack_base + mark + 1, PL_stack_base + base + 1, count, SV*);
    STACK_RESET(base + count);
    r->shape = R_STACK_LIST;
    r->first = base + 1;
    r->count = count;
}

/* The defined sub of a full name, or NULL: the package through Perl's cache of packages and then the name
   in it, which is what the general lookup finds for a sub that exists; anything else (core functions,
   constants kept as values, missing packages) takes the general lookup. */
static CV* vx_find_sub(pTHX_ const char* name, STRLEN n, int utf8) {
    const char* end = name + n;
    const char* p;
    CV* code;
    for (p = end - 2; p > name && !(p[0] == ':' && p[1] == ':'); --p) {
    }
    if (p > name) {
        HV* stash = gv_stashpvn(name, (U32)(p - name), utf8 ? SVf_UTF8 : 0);
        SV** entry = stash != NULL ? hv_fetch(stash, p + 2, utf8 ? -(I32)(end - p - 2) : (I32)(end - p - 2), 0) : NULL;
        if (entry != NULL && isGV_with_GP(*entry)) {
            code = GvCVu((GV*)*entry);
            if (code != NULL && (CvROOT(code) || CvXSUB(code))) return code;
        }
    }
    code = get_cvn_flags(name, n, GV_ADDMG | (utf8 ? SVf_UTF8 : 0));
    return code != NULL && (CvROOT(code) || CvXSUB(code)) ? code : NULL;
}

/* $code->(@args) for a sub name (main:: when it has no package) or a CODE handle. */
static int vx_invoke_global(pTHX_ VxRun* run, SSize_t base, int list, VxResult* r) {
    SV* name = STACK_AT(base + 1);
    CV* code = NULL;
    I32 count;
    if (SvOK(name) && !SvROK(name) && sv_len(name) > 0) {
        STRLEN n;
        const char* text = SvPV_nomg(name, n);
        SV* full = name;
        if (ninstr(text, text + n, "::", "::" + 2) == NULL) {
            full = sv_2mortal(newSVpvs("main::"));
            sv_catsv_nomg(full, name);
            text = SvPV_nomg(full, n);
        }
        code = vx_find_sub(aTHX_ text, n, SvUTF8(full) ? 1 : 0);
        if (code == NULL)
            return vx_refuse(aTHX_ run, newSVpvf("Undefined subroutine &%" SVf " called\n", SVfARG(full)));
    } else if (SvROK(name) && SvTYPE(SvRV(name)) == SVt_PVCV) {
        code = (CV*)SvRV(name);
    } else {
        return vx_need_name(aTHX_ run, "InvokeGlobalMethod", name);
    }
    PUSHMARK(PL_stack_base + base + 1);
    count = call_sv((SV*)code, list ? G_LIST : G_SCALAR);
    vx_called(aTHX_ base + 1, base, count, list, r);
    return 1;
}

/* $invocant->$method(@rest) with the stack holding invocant, method, rest. */
static void vx_call_method(pTHX_ SSize_t base, SSize_t argc, int list, VxResult* r) {
    SV* method = STACK_AT(base + 2);
    I32 count;
    Move(PL_stack_base + base + 3, PL_stack_base + base + 2, argc - 2, SV*);
    STACK_RESET(base + argc - 1);
    PUSHMARK(PL_stack_base + base);
    count = call_sv(method, G_METHOD | (list ? G_LIST : G_SCALAR));
    vx_called(aTHX_ base, base, count, list, r);
}

static int vx_invoke_instance(pTHX_ VxRun* run, SSize_t base, SSize_t argc, int list, VxResult* r) {
    static const char what[] = "InvokeInstanceMethod";
    SV* target = STACK_AT(base + 1);
    SV* method = STACK_AT(base + 2);
    if (!SvOK(target)) return vx_refuse(aTHX_ run, newSVpvf("%s: the target is null\n", what));
    if (SvROK(target) && !SvOBJECT(SvRV(target)))
        return vx_refuse(aTHX_ run, newSVpvf("%s: the target is an unblessed %" SVf " reference, not an object\n",
                                             what, SVfARG(vx_ref_name(aTHX_ target))));
    if (!SvOK(method) || (SvROK(method) && SvTYPE(SvRV(method)) != SVt_PVCV))
        return vx_refuse(aTHX_ run, newSVpvf("%s: expected a method name or a code handle\n", what));
    vx_call_method(aTHX_ base, argc, list, r);
    return 1;
}

/* Every argument must name a handle in the table (a handle or its number), else nothing is released. */
static int vx_release(pTHX_ VxRun* run, SSize_t base, SSize_t argc, VxResult* r) {
    SSize_t i;
    UV* ids = (UV*)SvPVX(sv_2mortal(newSV((STRLEN)argc * sizeof(UV) + 1)));
    for (i = 0; i < argc; ++i) {
        SV* arg = STACK_AT(base + 1 + i);
        SV* id = SvROK(arg) && !SvOBJECT(SvRV(arg)) && SvTYPE(SvRV(arg)) < SVt_PVAV ? SvRV(arg) : arg;
        STRLEN n, k;
        const char* digits;
        UV value = 0;
        int overflow = 0;
        if (!SvOK(id))
            return vx_refuse(aTHX_ run, newSVpvs("DestructReference: expected handles, got null\n"));
        digits = SvPV(id, n);
        for (k = 0; k < n && isDIGIT_A(digits[k]); ++k) {
            if (value > (UV_MAX - 9) / 10) overflow = 1;
            value = value * 10 + (UV)(digits[k] - '0');
        }
        if (n == 0 || k != n)
            return vx_refuse(aTHX_ run,
                             newSVpvf("DestructReference: expected handles, got '%" SVf "'\n", SVfARG(id)));
        if (overflow || !hv_exists(run->cxt->handles, (const char*)(&value), VX_KEY_LENGTH))
            return vx_refuse(aTHX_ run,
                             newSVpvf("No Perl value with handle %" SVf " (released or never created)\n", SVfARG(id)));
        ids[i] = value;
    }
    for (i = 0; i < argc; ++i) (void)hv_delete(run->cxt->handles, (const char*)(&ids[i]), VX_KEY_LENGTH, G_DISCARD);
    STACK_RESET(base);
    r->shape = R_VALUE;
    r->value = sv_newmortal();
    return 1;
}

/* eval "package main; $code" in the command's context; Perl's error text when it fails. */
static int vx_eval(pTHX_ VxRun* run, SSize_t base, int list, VxResult* r) {
    SV* code = STACK_AT(base + 1);
    SV* text;
    I32 count;
    if (!SvOK(code) || SvROK(code))
        return vx_refuse(aTHX_ run, newSVpvf("Eval: expected Perl code as a string, got %" SVf "\n",
                                             SVfARG(SvROK(code) ? sv_2mortal(newSVpvf("%" SVf " reference",
                                                                                    SVfARG(vx_ref_name(aTHX_ code))))
                                                                : sv_2mortal(newSVpvs("null")))));
    text = sv_2mortal(newSVpvs("package main; "));
    sv_catsv_nomg(text, code);
    STACK_RESET(base);
    count = eval_sv(text, (list ? G_LIST : G_SCALAR) | G_RETHROW);
    vx_called(aTHX_ base, base, count, list, r);
    return 1;
}

/* The commands kept in Perl: runner(flags, args...) returns (value, shape). */
static int vx_run_perl(pTHX_ VxRun* run, const VxCommand* info, SSize_t base, SSize_t argc, U8 flags,
                       VxResult* r) {
    static const int shapes[] = {R_VALUE, R_LIST, R_MAP, R_HANDLE};
    CV* code = get_cv(info->perl, 0);
    I32 count;
    IV shape;
    SV* value;
    if (code == NULL) return vx_refuse(aTHX_ run, newSVpvf("The receiver module has no %s\n", info->perl));
    {
        dSP;
        EXTEND(SP, 1);
        PUTBACK;
    }
    Move(PL_stack_base + base + 1, PL_stack_base + base + 2, argc, SV*);
    STACK_AT(base + 1) = sv_2mortal(newSViv(flags));
    STACK_RESET(base + argc + 1);
    PUSHMARK(PL_stack_base + base);
    count = call_sv((SV*)code, G_LIST);
    if (count != 2) {
        STACK_RESET(base);
        return vx_refuse(aTHX_ run, newSVpvf("%s returned %d values, not a value and its shape\n", info->perl, (int)count));
    }
    value = STACK_AT(base + 1);
    shape = SvIV(STACK_AT(base + 2));
    STACK_RESET(base);
    if (shape < 0 || shape > 3 || (shape != 0 && !SvROK(value)) ||
        (shape == 1 && SvTYPE(SvRV(value)) != SVt_PVAV) || (shape == 2 && SvTYPE(SvRV(value)) != SVt_PVHV))
        return vx_refuse(aTHX_ run, newSVpvf("%s returned a value that does not fit its shape\n", info->perl));
    r->shape = shapes[shape];
    r->value = value;
    return 1;
}

static int vx_execute(pTHX_ VxRun* run, VxResult* r);

/* A nested command's result as arguments of the command around it: in list context every value. */
static void vx_push_result(pTHX_ VxResult* r, int listContext) {
    dSP;
    if (r->shape == R_STACK_LIST) return; /* already in place */
    if (r->shape == R_LIST && listContext) {
        AV* array = (AV*)SvRV(r->value);
        SSize_t n = av_count(array), i;
        EXTEND(SP, n);
        for (i = 0; i < n; ++i) {
            SV** element = av_fetch(array, i, 0);
            PUSHs(element != NULL ? sv_mortalcopy(*element) : sv_newmortal());
        }
    } else {
        XPUSHs(r->value);
    }
    PUTBACK;
}

/* Runs the command at run->items[run->next]: its nested commands first, then the command itself on the
   arguments it finds on the stack. */
static int vx_execute(pTHX_ VxRun* run, VxResult* r) {
    const VxItem command = run->items[run->next++];
    const VxCommand* info = command.type < COMMAND_COUNT ? &commands[command.type] : NULL;
    const SSize_t base = STACK_TOP();
    const int list = (command.flags & VX_F_LIST_CONTEXT) != 0;
    SSize_t argc;
    U32 i;
    if (info == NULL || info->runner == RUN_NONE) {
        if (info != NULL)
            return vx_refuse(aTHX_ run, newSVpvf("Command type %d (%s) has no meaning in Perl\n", (int)command.type,
                                                 info->name));
        return vx_refuse(aTHX_ run, newSVpvf("Command type %d (command type %d) has no meaning in Perl\n",
                                             (int)command.type, (int)command.type));
    }
    for (i = 0; i < command.argc; ++i) {
        const VxItem* item = &run->items[run->next];
        if (item->value != NULL) {
            dSP;
            XPUSHs(item->value);
            PUTBACK;
            ++run->next;
        } else {
            VxResult inner;
            if (!vx_execute(aTHX_ run, &inner)) return 0;
            vx_push_result(aTHX_ & inner, (item->flags & VX_F_LIST_CONTEXT) != 0);
        }
    }
    argc = STACK_TOP() - base;
    if (argc < info->min || (info->max >= 0 && argc > info->max)) {
        SV* text = newSVpvf("%s takes ", info->name);
        if (info->max < 0)
            sv_catpvf(text, "at least %d arguments", (int)info->min);
        else if (info->min == info->max)
            sv_catpvf(text, "%d argument%s", (int)info->min, info->min == 1 ? "" : "s");
        else
            sv_catpvf(text, "%d to %d arguments", (int)info->min, (int)info->max);
        sv_catpvf(text, " (%s), got %d\n", info->usage, (int)argc);
        STACK_RESET(base);
        return vx_refuse(aTHX_ run, text);
    }
    switch (info->runner) {
    case RUN_VALUE:
        r->shape = R_VALUE;
        r->value = STACK_AT(base + 1);
        STACK_RESET(base);
        return 1;
    case RUN_GLOBAL:
        return vx_invoke_global(aTHX_ run, base, list, r);
    case RUN_STATIC:
        if (!vx_need_package(aTHX_ run, "InvokeStaticMethod", STACK_AT(base + 1)) ||
            !vx_need_name(aTHX_ run, "InvokeStaticMethod", STACK_AT(base + 2)))
            return 0;
        vx_call_method(aTHX_ base, argc, list, r);
        return 1;
    case RUN_INSTANCE:
        return vx_invoke_instance(aTHX_ run, base, argc, list, r);
    case RUN_CREATE: {
        I32 count;
        if (!vx_need_package(aTHX_ run, "CreateClassInstance", STACK_AT(base + 1))) return 0;
        PUSHMARK(PL_stack_base + base);
        count = call_sv(run->cxt->newMethod, G_METHOD_NAMED | G_SCALAR);
        vx_called(aTHX_ base, base, count, 0, r);
        return 1;
    }
    case RUN_GET_FIELD:
    case RUN_SET_FIELD: {
        const char* what = info->runner == RUN_GET_FIELD ? "GetInstanceField" : "SetInstanceField";
        HV* object = vx_hash_object(aTHX_ run, what, STACK_AT(base + 1));
        SV* field = STACK_AT(base + 2);
        HE* entry;
        if (object == NULL || !vx_need_name(aTHX_ run, what, field)) return 0;
        r->shape = R_VALUE;
        if (info->runner == RUN_GET_FIELD) {
            entry = hv_fetch_ent(object, field, 0, 0);
            r->value = sv_mortalcopy(entry != NULL ? HeVAL(entry) : &PL_sv_undef);
        } else {
            entry = hv_fetch_ent(object, field, 1, 0);
            sv_setsv_mg(HeVAL(entry), STACK_AT(base + 3));
            r->value = sv_newmortal();
        }
        STACK_RESET(base);
        return 1;
    }
    case RUN_RELEASE:
        return vx_release(aTHX_ run, base, argc, r);
    case RUN_EVAL:
        return vx_eval(aTHX_ run, base, list, r);
    default:
        return vx_run_perl(aTHX_ run, info, base, argc, command.flags, r);
    }
}

/* The top command's result after the response header. */
static int vx_encode_result(pTHX_ VxEncoder* e, VxResult* r, int byValue) {
    SSize_t i;
    switch (r->shape) {
    case R_STACK_LIST:
        VxPutByte(aTHX_ e->out, VX_T_LIST);
        VxPutU32(aTHX_ e->out, (U32)r->count);
        for (i = 0; i < r->count; ++i)
            if (!VxEncodeValue(aTHX_ e, STACK_AT(r->first + i), byValue, 1)) return 0;
        return 1;
    case R_LIST:
        return VxEncodeList(aTHX_ e, (AV*)SvRV(r->value), byValue, 1);
    case R_MAP:
        return VxEncodeMap(aTHX_ e, (HV*)SvRV(r->value), byValue, 1);
    case R_HANDLE:
        return VxEncodeHandle(aTHX_ e, r->value);
    default:
        return VxEncodeValue(aTHX_ e, r->value, byValue, 0);
    }
}

/* Decodes, runs and encodes the current job; called under G_EVAL. */
XS_INTERNAL(vx_run_job) {
    dXSARGS;
    dMY_CXT;
    VxJob* job = MY_CXT.job;
    VxDecoder d;
    VxRun run;
    VxResult r;
    VxEncoder e;
    PERL_UNUSED_VAR(cv);
    PERL_UNUSED_VAR(items);
    Zero(&d, 1, VxDecoder);
    d.data = job->message;
    d.length = job->length;
    d.handles = MY_CXT.handles;
    d.items = job->items;
    if (!VxDecodeMessage(aTHX_ & d)) {
        job->error = d.error;
        XSRETURN_EMPTY;
    }
    run.cxt = &MY_CXT;
    run.items = (const VxItem*)SvPVX(job->items);
    run.next = 0;
    run.error = NULL;
    if (!vx_execute(aTHX_ & run, &r)) {
        job->error = run.error;
        XSRETURN_EMPTY;
    }
    e.out = job->out;
    e.handles = MY_CXT.handles;
    e.nextId = &MY_CXT.nextId;
    e.error = NULL;
    SvCUR_set(e.out, 0);
    VxPutResponseHeader(aTHX_ e.out, job->message, job->length, 0);
    if (!vx_encode_result(aTHX_ & e, &r, (run.items[0].flags & VX_F_BY_VALUE) != 0)) job->error = e.error;
    XSRETURN_EMPTY;
}

/* An Exception response: a map of message, class and stack, then `object` (a handle to the die value) or
   `exit` (the status, when Perl code called exit). */
static void vx_exception(pTHX_ my_cxt_t* cxt, VxJob* job, SV* message, SV* class, SV* stack, SV* object,
                         const IV* exitStatus) {
    VxEncoder e = {job->out, cxt->handles, &cxt->nextId, NULL};
    SvCUR_set(job->out, 0);
    VxPutResponseHeader(aTHX_ job->out, job->message, job->length, VX_CMD_EXCEPTION);
    VxPutByte(aTHX_ job->out, VX_T_MAP);
    VxPutU32(aTHX_ job->out, object != NULL || exitStatus != NULL ? 4 : 3);
    VxEncodeText(aTHX_ & e, sv_2mortal(newSVpvs("message")));
    VxEncodeText(aTHX_ & e, message);
    VxEncodeText(aTHX_ & e, sv_2mortal(newSVpvs("class")));
    VxEncodeText(aTHX_ & e, class);
    VxEncodeText(aTHX_ & e, sv_2mortal(newSVpvs("stack")));
    VxEncodeText(aTHX_ & e, stack);
    if (exitStatus != NULL) {
        VxEncodeText(aTHX_ & e, sv_2mortal(newSVpvs("exit")));
        (void)VxEncodeValue(aTHX_ & e, sv_2mortal(newSViv(*exitStatus)), 0, 0);
    } else if (object != NULL) {
        VxEncodeText(aTHX_ & e, sv_2mortal(newSVpvs("object")));
        (void)VxEncodeHandle(aTHX_ & e, object);
    }
}

static void vx_refusal(pTHX_ my_cxt_t* cxt, VxJob* job, SV* message) {
    SV* empty = sv_2mortal(newSVpvs(""));
    vx_exception(aTHX_ cxt, job, message, empty, empty, NULL, NULL);
}

/* A Perl error's text and class come from the receiver module's _error_parts, under eval: an exception
   object's stringification or message method may die too, and then the text is a fixed one. A reference
   also travels as a handle. */
static void vx_perl_exception(pTHX_ my_cxt_t* cxt, VxJob* job, SV* error, SV* stack) {
    SV* text = NULL;
    SV* class = NULL;
    CV* parts = get_cv(RECEIVER "_error_parts", 0);
    if (parts != NULL) {
        dSP;
        I32 count;
        PUSHMARK(SP);
        XPUSHs(error);
        PUTBACK;
        count = call_sv((SV*)parts, G_EVAL | G_LIST);
        SPAGAIN;
        if (count == 2 && !(SvROK(ERRSV) || SvTRUE_nomg(ERRSV))) {
            class = sv_mortalcopy(POPs);
            text = sv_mortalcopy(POPs);
        } else {
            SP -= count;
        }
        PUTBACK;
    }
    if (text == NULL && SvROK(error)) {
        class = sv_ref(sv_newmortal(), SvRV(error), TRUE);
        text = sv_2mortal(newSVpvf("Perl exception of class %" SVf " whose text could not be obtained", SVfARG(class)));
    } else if (text == NULL) {
        text = error;
    }
    vx_exception(aTHX_ cxt, job, text, class != NULL ? class : sv_2mortal(newSVpvs("")), stack,
                 SvROK(error) ? error : NULL, NULL);
}

/* The exit state of the commands around the current one. */
typedef struct {
    int called;
    IV status;
    SV* message;
    SV* stack;
} VxExitState;

static void vx_swap_exit_state(my_cxt_t* cxt, VxExitState* state) {
    VxExitState mine = {cxt->exitCalled, cxt->exitStatus, cxt->exitMessage, cxt->exitStack};
    cxt->exitCalled = state->called;
    cxt->exitStatus = state->status;
    cxt->exitMessage = state->message;
    cxt->exitStack = state->stack;
    *state = mine;
}

/* Output that Perl code left in the buffers of a handle goes out: the caller's own output then follows it
   in call order, and none is lost when the process ends without ending the interpreter. */
static void vx_flush_pending(pTHX_ GV* gv) {
    IO* io = GvIO(gv);
    PerlIO* f = io != NULL ? IoOFP(io) : NULL;
    PerlIO* layer;
    for (layer = f; PerlIOValid(layer); layer = PerlIONext(layer)) {
        if (PerlIOBase(layer)->flags & PERLIO_F_WRBUF) {
            (void)PerlIO_flush(f);
            return;
        }
    }
}

/* Answers job->message in job->out. Never dies. */
static void vx_answer(pTHX_ my_cxt_t* cxt, VxJob* job) {
    VxJob* outer = cxt->job;
    VxExitState exitState = {0, 0, NULL, NULL};
    SV* died = NULL;
    SV* stack = NULL;
    SV* refused = NULL;
    dSP;
    ENTER;
    SAVETMPS;
    if (cxt->dieHook == NULL) {
        CV* hook = get_cv(RECEIVER "_on_die", 0);
        if (hook != NULL) cxt->dieHook = newRV_inc((SV*)hook);
    }
    if (cxt->dieHook != NULL) {
        /* local $SIG{__DIE__} = \&_on_die: it records the frames of a die for the Exception's stack. */
        SAVEGENERICSV(PL_diehook);
        PL_diehook = SvREFCNT_inc_simple_NN(cxt->dieHook);
    }
    sv_set_undef(cxt->trace);
    vx_swap_exit_state(cxt, &exitState);
    cxt->job = job;
    job->error = NULL;
    SAVEVPTR(PL_curcop);
    PL_curcop = cxt->hostCop;
    /* On a stack of its own that caller() takes for the bottom: the command's frames are the first ones
       Perl code sees, whoever called the receiver. */
    PUTBACK;
    push_stackinfo(PERLSI_MAIN, 0);
    PUSHMARK(PL_stack_sp);
    (void)call_sv((SV*)cxt->run, G_EVAL | G_VOID);
    pop_stackinfo();
    if (SvROK(ERRSV) || SvTRUE_nomg(ERRSV)) {
        died = newSVsv(ERRSV);
        stack = SvOK(cxt->trace) ? newSVsv(cxt->trace) : newSVpvs("");
    } else if (job->error != NULL) {
        refused = SvREFCNT_inc_simple_NN(job->error);
    }
    /* The command counts as running until its answer is made and its temporaries are gone: the DESTROY of
       one, or the text of an exception object, may call exit too. */
    FREETMPS;
    if (cxt->dieHook != NULL) { /* restored by LEAVE */
        SvREFCNT_dec(PL_diehook);
        PL_diehook = NULL;
    }
    if (died != NULL) sv_2mortal(died);
    if (stack != NULL) sv_2mortal(stack);
    if (refused != NULL) sv_2mortal(refused);
    if (!cxt->exitCalled && died != NULL) {
        vx_perl_exception(aTHX_ cxt, job, died, stack);
    } else if (!cxt->exitCalled && refused != NULL) {
        vx_refusal(aTHX_ cxt, job, refused);
    }
    FREETMPS;
    /* An exit wins, even when an eval of the command's own code caught it and the command went on. */
    if (cxt->exitCalled)
        vx_exception(aTHX_ cxt, job, cxt->exitMessage, sv_2mortal(newSVpvs(VX_EXIT_CLASS)), cxt->exitStack, NULL,
                     &cxt->exitStatus);
    cxt->job = outer;
    vx_swap_exit_state(cxt, &exitState);
    SvREFCNT_dec(exitState.message);
    SvREFCNT_dec(exitState.stack);
    FREETMPS;
    LEAVE;
    vx_flush_pending(aTHX_ cxt->stdoutGv);
    vx_flush_pending(aTHX_ cxt->stderrGv);
}

/* ---------------------------------------------------------------------------------------------------- */
/* `exit` in Perl code compiled after this module loaded: while a command runs it ends the command with an
   Exception (class Veltrix::Exit, the status under `exit`), not the process; elsewhere it is Perl's own. */

static Perl_ppaddr_t vx_perl_pp_exit;
static Perl_check_t vx_next_ck_exit;

/* This module's context in the running interpreter, or NULL where the module was never loaded. */
static my_cxt_t* vx_context(pTHX) {
    if (my_cxt_index < 0 || my_cxt_index >= PL_my_cxt_size) return NULL;
    return (my_cxt_t*)PL_my_cxt_list[my_cxt_index];
}

/* Records the exit and dies with a Veltrix::Exit object, which unwinds to the command. */
static void vx_exit_called(pTHX_ my_cxt_t* cxt, IV status) {
    const char* name = CopFILE(PL_curcop);
    SV* file = sv_2mortal(newSVpv(name != NULL ? name : "-", 0));
    CV* path = get_cv(RECEIVER "_path", 0);
    SV* message;
    HV* fields = newHV();
    SV* error;
    if (path != NULL) {
        dSP;
        PUSHMARK(SP);
        XPUSHs(file);
        PUTBACK;
        if (call_sv((SV*)path, G_SCALAR | G_EVAL | G_KEEPERR) == 1) file = sv_mortalcopy(*PL_stack_sp);
        --PL_stack_sp;
    }
    message = newSVpvf("exit(%" IVdf ") called at %" SVf " line %" UVuf ".\n", status, SVfARG(file),
                       (UV)CopLINE(PL_curcop));
    if (cxt->dieHook != NULL) {
        /* The hook records where the exit happened, as it would for a die. */
        dSP;
        PUSHMARK(SP);
        PUTBACK;
        (void)call_sv(cxt->dieHook, G_DISCARD | G_NOARGS);
    }
    SvREFCNT_dec(cxt->exitMessage);
    SvREFCNT_dec(cxt->exitStack);
    cxt->exitCalled = 1;
    cxt->exitStatus = status;
    cxt->exitMessage = message;
    cxt->exitStack = SvOK(cxt->trace) ? newSVsv(cxt->trace) : newSVpvs("");
    (void)hv_stores(fields, "status", newSViv(status));
    (void)hv_stores(fields, "message", newSVsv(message));
    error = sv_bless(newRV_noinc((SV*)fields), gv_stashpvs(VX_EXIT_CLASS, GV_ADD));
    croak_sv(sv_2mortal(error));
}

static OP* vx_pp_exit(pTHX) {
    my_cxt_t* cxt = vx_context(aTHX);
    IV status = 0;
    if (cxt == NULL || cxt->job == NULL) return vx_perl_pp_exit(aTHX);
    if (MAXARG >= 1) {
        dSP;
        SV* arg = POPs;
        PUTBACK;
        if (arg != NULL) status = SvIV(arg);
    }
    vx_exit_called(aTHX_ cxt, status);
    return NORMAL;
}

static OP* vx_ck_exit(pTHX_ OP* o) {
    o = vx_next_ck_exit(aTHX_ o);
    if (o->op_type == OP_EXIT) o->op_ppaddr = vx_pp_exit;
    return o;
}

/* The elements of a large array lie anywhere in memory: ask for one a few steps ahead. */
#define VX_PREFETCH(elements, i, n) \
    do { \
        if ((i) + 16 < (n)) __builtin_prefetch((elements)[(i) + 16], 1); \
    } while (0)

/* A plain integer of its own, as the launcher makes every element: its value can be replaced in place. */
#define VX_OWN_INTEGER(sv) (SvFLAGS(sv) == (SVt_IV | SVf_IOK | SVp_IOK) && SvREFCNT(sv) == 1)

/* The message array's bytes when every element is a plain integer (or undef). *own tells whether every
   element is an integer of its own. */
static int vx_plain_array_bytes(pTHX_ AV* array, SV* into, int* own) {
    SSize_t n, i;
    U8* out;
    SV** elements;
    *own = 0;
    if (SvRMAGICAL(array)) return 0;
    n = AvFILLp(array) + 1;
    SvCUR_set(into, 0);
    out = (U8*)VxRoom(aTHX_ into, (STRLEN)n);
    elements = AvARRAY(array);
    for (i = 0; i < n && elements[i] != NULL && VX_OWN_INTEGER(elements[i]); ++i) {
        VX_PREFETCH(elements, i, n);
        out[i] = (U8)SvIVX(elements[i]);
    }
    *own = i == n;
    for (; i < n; ++i) {
        SV* element = elements[i];
        if (element != NULL && SvIOK_nog(element))
            out[i] = (U8)SvIVX(element);
        else if (element == NULL || (!SvOK(element) && !SvGMAGICAL(element)))
            out[i] = 0;
        else
            return 0;
    }
    SvCUR_set(into, (STRLEN)n);
    return 1;
}

/* Any other array goes through the module's _message_bytes (pack 'C*' or the launcher's routine), under
   eval: its elements may run Perl code. */
static SV* vx_array_bytes(pTHX_ SV* arrayRef, SV* into, int* own) {
    CV* convert;
    I32 count;
    SV* died = NULL;
    if (vx_plain_array_bytes(aTHX_ (AV*)SvRV(arrayRef), into, own)) return NULL;
    SvCUR_set(into, 0);
    convert = get_cv(RECEIVER "_message_bytes", 0);
    if (convert == NULL) return sv_2mortal(newSVpvs("The receiver module has no _message_bytes\n"));
    {
        dSP;
        ENTER;
        SAVETMPS;
        PUSHMARK(SP);
        XPUSHs(arrayRef);
        PUTBACK;
        count = call_sv((SV*)convert, G_EVAL | G_SCALAR);
        SPAGAIN;
        if (SvROK(ERRSV) || SvTRUE_nomg(ERRSV)) {
            died = newSVsv(ERRSV);
        } else if (count == 1) {
            STRLEN n;
            const char* bytes = SvPVbyte(TOPs, n);
            sv_setpvn(into, bytes, n);
        }
        SP -= count;
        PUTBACK;
        FREETMPS;
        LEAVE;
    }
    return died != NULL ? sv_2mortal(died) : NULL;
}

/* The response as an array of integers. The message array is reused when nothing else can see it (the
   launcher's is only ours): its elements take the response bytes in place. `own`: every element was an
   integer of its own when the message was read, and no Perl code can have reached them since. */
static SV* vx_response_array(pTHX_ SV* messageRef, SV* bytes, int own) {
    const U8* b = (const U8*)SvPVX(bytes);
    SSize_t n = (SSize_t)SvCUR(bytes), i;
    AV* array = (AV*)SvRV(messageRef);
    if (SvREFCNT(messageRef) == 1 && SvREFCNT(array) == 1 && !SvMAGICAL(array) && !SvREADONLY(array) &&
        AvREAL(array) && !AvREIFY(array)) {
        SSize_t old = AvFILLp(array) + 1;
        SSize_t same = n < old ? n : old;
        SV** elements;
        if (n > old) av_extend(array, n - 1);
        elements = AvARRAY(array);
        i = 0;
        if (own) {
            for (; i < same; ++i) {
                VX_PREFETCH(elements, i, same);
                SvIV_set(elements[i], (IV)b[i]);
            }
        }
        for (; i < n; ++i) {
            SV* element = i < old ? elements[i] : NULL;
            if (element != NULL && VX_OWN_INTEGER(element)) {
                SvIV_set(element, (IV)b[i]);
            } else {
                SvREFCNT_dec(element);
                elements[i] = newSViv((IV)b[i]);
            }
        }
        for (i = n; i < old; ++i) {
            SvREFCNT_dec(elements[i]);
            elements[i] = NULL;
        }
        AvFILLp(array) = n - 1;
        return messageRef;
    } else {
        AV* fresh = n > 0 ? newAV_alloc_x(n) : newAV();
        for (i = 0; i < n; ++i) AvARRAY(fresh)[i] = newSViv((IV)b[i]);
        AvFILLp(fresh) = n - 1;
        return sv_2mortal(newRV_noinc((SV*)fresh));
    }
}

/* Buffers for one command: the interpreter's own unless a command is already running. */
static int vx_take_buffers(pTHX_ my_cxt_t* cxt, SV** input, VxJob* job) {
    if (!cxt->busy) {
        cxt->busy = 1;
        *input = cxt->input;
        job->out = cxt->output;
        job->items = cxt->itemBuffer;
        return 1;
    }
    *input = sv_2mortal(newSV(256));
    job->out = sv_2mortal(newSV(256));
    job->items = sv_2mortal(newSV(16 * sizeof(VxItem)));
    SvPOK_only(*input);
    SvPOK_only(job->out);
    return 0;
}

static SV* vx_buffer(pTHX) {
    SV* buffer = newSV(256);
    SvPOK_only(buffer);
    return buffer;
}

/* After a large message the buffers go back to a small size. */
static void vx_give_back_buffers(pTHX_ my_cxt_t* cxt) {
    SV** buffers[3];
    int i;
    buffers[0] = &cxt->input;
    buffers[1] = &cxt->output;
    buffers[2] = &cxt->itemBuffer;
    for (i = 0; i < 3; ++i) {
        if (SvLEN(*buffers[i]) > (4u << 20)) {
            SvREFCNT_dec(*buffers[i]);
            *buffers[i] = vx_buffer(aTHX);
        }
    }
    cxt->busy = 0;
    cxt->typeBytes = NULL;
    cxt->validFlags = NULL;
}

/* A client's command type (a number or a name) as its byte; other spellings go to Veltrix::Client's own
   checks, which croak at the caller. */
static U8 vx_client_byte(pTHX_ SV* value, HV** table, const char* name, const char* check) {
    HE* known;
    if (*table == NULL) {
        *table = get_hv(name, 0);
        if (*table != NULL) SvREFCNT_inc_simple_void_NN(*table);
    }
    known = *table != NULL && SvOK(value) ? hv_fetch_ent(*table, value, 0, 0) : NULL;
    SV* result;
    if (known != NULL) return (U8)SvUV(HeVAL(known));
    {
        dSP;
        PUSHMARK(SP);
        XPUSHs(value);
        PUTBACK;
        (void)call_pv(check, G_SCALAR);
        SPAGAIN;
        result = POPs;
        PUTBACK;
    }
    return (U8)SvUV(result);
}

/* A failure the client itself finds (a value it cannot send, a response it cannot read) dies with the
   text at the place in the caller's code, as Carp would put it. */
static void vx_client_croak(pTHX_ SV* text) {
    if (get_cv("Veltrix::Client::_croak", 0) != NULL) {
        dSP;
        PUSHMARK(SP);
        XPUSHs(text);
        PUTBACK;
        (void)call_pv("Veltrix::Client::_croak", G_DISCARD);
    }
    croak_sv(text);
}

/* `type` is the command type as the caller wrote it, or NULL when `typeByte` is already known (the named calls). */
static SV* vx_client_call(pTHX_ my_cxt_t* cxt, SV* self, SV* type, U8 typeByte, SV* flags, SV** stackArgs,
                          SSize_t count) {
    HV* fields;
    SV** prefix;
    SV** transport;
    SV* answer;
    SV* value;
    SV* bytes;
    SV* error = NULL;
    SV* local[8];
    SV** args = local;
    STRLEN n;
    int answerType;
    VxEncoder e = {NULL, NULL, NULL, NULL};
    VxDecoder d;
    if (!SvROK(self) || SvTYPE(SvRV(self)) != SVt_PVHV) croak("Not a Veltrix::Client");
    fields = (HV*)SvRV(self);
    prefix = hv_fetchs(fields, "prefix", 0);
    transport = hv_fetchs(fields, "transport", 0);
    if (prefix == NULL || transport == NULL) croak("Not a Veltrix::Client");
    /* The arguments leave the stack first: the transport and tied values may move it. */
    if (count > 8) args = (SV**)SvPVX(sv_2mortal(newSV((STRLEN)count * sizeof(SV*))));
    Copy(stackArgs, args, count, SV*);
    e.out = sv_2mortal(newSV(64));
    SvPOK_only(e.out);
    {
        const char* head = SvPV(*prefix, n);
        sv_setpvn(e.out, head, n);
    }
    VxPutByte(aTHX_ e.out, type == NULL ? typeByte
                                        : vx_client_byte(aTHX_ type, &cxt->typeBytes, "Veltrix::Client::TYPE_BYTE",
                                                         "Veltrix::Client::_type_byte"));
    if (!VxEncodeCommandBody(aTHX_ &e,
                             SvOK(flags) ? vx_client_byte(aTHX_ flags, &cxt->validFlags, "Veltrix::Client::VALID_FLAGS",
                                                          "Veltrix::Client::_flags")
                                         : 0,
                             args, count, 0))
        vx_client_croak(aTHX_ e.error);
    {
        dSP;
        PUSHMARK(SP);
        XPUSHs(e.out);
        PUTBACK;
        (void)call_sv(*transport, G_SCALAR);
        SPAGAIN;
        answer = POPs;
        PUTBACK;
    }
    bytes = VxMessageBytes(aTHX_ answer, "response", &error);
    if (bytes == NULL) vx_client_croak(aTHX_ error);
    Zero(&d, 1, VxDecoder);
    d.data = (const U8*)SvPV(bytes, n);
    d.length = n;
    d.owner = self;
    if (!VxDecodeResponse(aTHX_ &d, &answerType, &value)) vx_client_croak(aTHX_ d.error);
    value = sv_2mortal(value);
    if (answerType == 0) return value;
    {
        dSP;
        PUSHMARK(SP);
        EXTEND(SP, 3);
        PUSHs(self);
        mPUSHi(answerType);
        PUSHs(value);
        PUTBACK;
        (void)call_pv("Veltrix::Client::_other_answer", G_SCALAR);
        SPAGAIN;
        value = POPs;
        PUTBACK;
    }
    return value;
}

static void vx_init(pTHX_ my_cxt_t* cxt) {
    cxt->handles = get_hv(RECEIVER "_handles", GV_ADD);
    cxt->trace = get_sv(RECEIVER "trace", GV_ADD);
    SvREFCNT_inc_simple_void_NN(cxt->handles);
    SvREFCNT_inc_simple_void_NN(cxt->trace);
    cxt->dieHook = NULL;
    cxt->newMethod = newSVpvn_share("new", 3, 0);
    cxt->run = newXS(NULL, vx_run_job, __FILE__);
    cxt->job = NULL;
    cxt->input = vx_buffer(aTHX);
    cxt->output = vx_buffer(aTHX);
    cxt->itemBuffer = vx_buffer(aTHX);
    cxt->busy = 0;
    cxt->typeBytes = NULL;
    cxt->validFlags = NULL;
    cxt->exitCalled = 0;
    cxt->exitStatus = 0;
    cxt->exitMessage = NULL;
    cxt->exitStack = NULL;
    {
        /* Kept as long as the interpreter. */
        SV* buffer = newSV(sizeof(COP));
        cxt->hostCop = (COP*)SvPVX(buffer);
        Zero(cxt->hostCop, 1, COP);
        cxt->hostCop->op_type = OP_NEXTSTATE;
        CopSTASH_set(cxt->hostCop, gv_stashpvs("Veltrix::Core::Receiver::Receiver", GV_ADD));
        cxt->hostCop->cop_warnings = pWARN_STD;
    }
    cxt->stdoutGv = (GV*)SvREFCNT_inc_simple_NN(gv_fetchpvs("STDOUT", GV_ADD | GV_NOTQUAL, SVt_PVIO));
    cxt->stderrGv = (GV*)SvREFCNT_inc_simple_NN(gv_fetchpvs("STDERR", GV_ADD | GV_NOTQUAL, SVt_PVIO));
}

MODULE = Veltrix::Core::Protocol::Codec    PACKAGE = Veltrix::Core::Protocol::Codec

PROTOTYPES: DISABLE

BOOT:
{
    MY_CXT_INIT;
    vx_init(aTHX_ &MY_CXT);
    MY_CXT.nextId = 1;
    /* Once per process: the op table and the checkers are shared by every interpreter. */
    if (vx_perl_pp_exit == NULL) vx_perl_pp_exit = PL_ppaddr[OP_EXIT];
    wrap_op_checker(OP_EXIT, vx_ck_exit, &vx_next_ck_exit);
}

# A thread's copy of the interpreter has its own handle table (a copy of the parent's); ids go on.
void
CLONE(...)
    CODE:
        PERL_UNUSED_VAR(items);
        {
            MY_CXT_CLONE;
            vx_init(aTHX_ &MY_CXT);
        }

# The names of the command types, in type order.
void
command_names()
    PREINIT:
        int i;
    PPCODE:
        EXTEND(SP, COMMAND_COUNT);
        for (i = 0; i < COMMAND_COUNT; ++i) mPUSHs(newSVpv(commands[i].name, 0));

# A whole command message: the 11 header bytes, then flags and the arguments of \@args.
SV*
encode_command(header, flags, args)
        SV* header
        UV flags
        AV* args
    PREINIT:
        STRLEN n;
        const char* bytes;
        SV** elements;
        SSize_t count;
        VxEncoder e = {NULL, NULL, NULL, NULL};
    CODE:
        bytes = SvPVbyte(header, n);
        e.out = sv_2mortal(newSV(n + 64));
        SvPOK_only(e.out);
        Copy(bytes, SvPVX(e.out), n, char);
        SvCUR_set(e.out, n);
        elements = VxElements(aTHX_ args, &count);
        if (!VxEncodeCommandBody(aTHX_ &e, (U8)flags, elements, count, 0)) croak_sv(e.error);
        RETVAL = SvREFCNT_inc_simple_NN(e.out);
    OUTPUT:
        RETVAL

# A response: (command type, value). Handles become Veltrix::Core::Protocol::Handle objects, or
# Veltrix::Client::Handle objects of the client given as the owner.
void
decode_response(response, owner = NULL)
        SV* response
        SV* owner
    PREINIT:
        SV* error = NULL;
        SV* bytes;
        VxDecoder d;
        int type;
        SV* value;
        STRLEN n;
    PPCODE:
        bytes = VxMessageBytes(aTHX_ response, "response", &error);
        if (bytes == NULL) croak_sv(error);
        Zero(&d, 1, VxDecoder);
        d.data = (const U8*)SvPV(bytes, n);
        d.length = n;
        d.owner = owner != NULL && SvOK(owner) ? owner : NULL;
        if (!VxDecodeResponse(aTHX_ &d, &type, &value)) croak_sv(d.error);
        EXTEND(SP, 2);
        mPUSHi(type);
        mPUSHs(value);

MODULE = Veltrix::Core::Protocol::Codec    PACKAGE = Veltrix::Client

# execute(type, args...) and execute_with_flags(type, flags, args...): the hot path of every call (header,
# body, the transport, the answer) in one step. The named calls are execute with their command type
# (the alias number less 100).
void
execute(self, ...)
        SV* self
    ALIAS:
        execute_with_flags = 1
        load_library = 101
        invoke_static_method = 102
        create_instance = 105
        invoke_instance_method = 109
        get_static_field = 103
        set_static_field = 104
        get_instance_field = 113
        set_instance_field = 125
        invoke_global_method = 116
    PREINIT:
        dMY_CXT;
        SV* type;
        SV* flags = &PL_sv_undef;
        SSize_t first = 2;
    PPCODE:
        if (ix >= 100) {
            type = NULL; /* the byte is ix - 100 */
            first = 1;
        } else {
            if (items < 2 + ix) croak_xs_usage(cv, ix == 1 ? "self, type, flags, ..." : "self, type, ...");
            type = ST(1);
            if (ix == 1) {
                flags = ST(2);
                first = 3;
            }
        }
        ST(0) = vx_client_call(aTHX_ &MY_CXT, self, type, (U8)(ix >= 100 ? ix - 100 : 0), flags, &ST(first),
                               items - first);
        XSRETURN(1);

MODULE = Veltrix::Core::Protocol::Codec    PACKAGE = Veltrix::Core::Receiver::Receiver

# The launcher's entry: the message as an array of integers in, the response the same way out.
SV*
send_command(self, message)
        SV* self
        SV* message
    PREINIT:
        dMY_CXT;
        VxJob job;
        SV* input;
        SV* died;
        int own;
        int owned = 0;
    CODE:
        PERL_UNUSED_VAR(self);
        if (!SvROK(message) || SvTYPE(SvRV(message)) != SVt_PVAV)
            croak("send_command: the message must be an array reference");
        own = vx_take_buffers(aTHX_ &MY_CXT, &input, &job);
        died = vx_array_bytes(aTHX_ message, input, &owned);
        job.message = (const U8*)SvPVX(input);
        job.length = SvCUR(input);
        if (died == NULL) {
            vx_answer(aTHX_ &MY_CXT, &job);
        } else {
            job.length = 0;
            vx_refusal(aTHX_ &MY_CXT, &job, died);
        }
        RETVAL = vx_response_array(aTHX_ message, job.out, owned);
        SvREFCNT_inc_simple_void_NN(RETVAL);
        if (own) vx_give_back_buffers(aTHX_ &MY_CXT);
    OUTPUT:
        RETVAL

# A heartbeat answers with its own body under a header that points back to the caller.
SV*
heart_beat(self, message)
        SV* self
        SV* message
    PREINIT:
        dMY_CXT;
        VxJob job;
        SV* input;
        SV* died;
        int own;
        int owned = 0;
    CODE:
        PERL_UNUSED_VAR(self);
        if (!SvROK(message) || SvTYPE(SvRV(message)) != SVt_PVAV)
            croak("heart_beat: the message must be an array reference");
        own = vx_take_buffers(aTHX_ &MY_CXT, &input, &job);
        died = vx_array_bytes(aTHX_ message, input, &owned);
        if (died != NULL) SvCUR_set(input, 0);
        SvCUR_set(job.out, 0);
        VxPutResponseHeader(aTHX_ job.out, (const U8*)SvPVX(input), SvCUR(input), VX_CMD_HEART_BEAT);
        if (SvCUR(input) > VX_HEADER_LENGTH) {
            STRLEN body = SvCUR(input) - VX_HEADER_LENGTH;
            Copy(SvPVX(input) + VX_HEADER_LENGTH, VxRoom(aTHX_ job.out, body), body, char);
            SvCUR_set(job.out, SvCUR(job.out) + body);
        }
        RETVAL = vx_response_array(aTHX_ message, job.out, owned);
        SvREFCNT_inc_simple_void_NN(RETVAL);
        if (own) vx_give_back_buffers(aTHX_ &MY_CXT);
    OUTPUT:
        RETVAL

# One command message as a byte string; returns the response as a byte string. Never dies.
SV*
execute_message(message)
        SV* message
    PREINIT:
        dMY_CXT;
        VxJob job;
        SV* input;
        SV* error = NULL;
        SV* bytes;
        STRLEN n;
        int own;
    CODE:
        own = vx_take_buffers(aTHX_ &MY_CXT, &input, &job);
        bytes = VxMessageBytes(aTHX_ message, "message", &error);
        if (bytes != NULL) {
            job.message = (const U8*)SvPV(bytes, n);
            job.length = n;
            vx_answer(aTHX_ &MY_CXT, &job);
        } else {
            job.message = (const U8*)"";
            job.length = 0;
            vx_refusal(aTHX_ &MY_CXT, &job, error);
        }
        RETVAL = newSVpvn(SvPVX(job.out), SvCUR(job.out));
        if (own) vx_give_back_buffers(aTHX_ &MY_CXT);
    OUTPUT:
        RETVAL

# Number of values kept for handles.
IV
handle_count()
    PREINIT:
        dMY_CXT;
    CODE:
        RETVAL = (IV)HvUSEDKEYS(MY_CXT.handles);
    OUTPUT:
        RETVAL
