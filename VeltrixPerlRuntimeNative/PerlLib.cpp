// PerlLib.cpp: exported bridge entry points.
