package androidx.annotation;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/**
 * Stand-in for AndroidX's annotation of this name, for a build that has no
 * AndroidX: this project's own JVM build, or an app without AndroidX. Only
 * the name matters (Kotlin reads it from the class file); the classes that
 * carry it need it at compile time only. Never add this to a build that has
 * AndroidX: the class would then be defined twice.
 */
@Retention(RetentionPolicy.CLASS)
@Target({ElementType.METHOD, ElementType.PARAMETER, ElementType.FIELD})
public @interface NonNull {}
