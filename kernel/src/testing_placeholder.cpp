// The system side is filled in module by module.
