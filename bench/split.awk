# The awk equivalent of the command's split: key = the first 8 characters less
# trailing blanks, record = from the 11th character on, its CR kept.
{
    key = substr($0, 1, 8)
    sub(/ +$/, "", key)
    print substr($0, 11) > (key ".sdf")
}
